// The confinement against a hostile module (modules/hostile.cpp): devsim runs
// it confined on a sandbox inside this suite's own, nesting the confinements
// as every devsim run in the suite does (tests/confinement.sh runs it at the
// top level, as make run does). This suite's sandbox then stands for the
// machine: the files the test makes there, its kernel setting and its
// terminals must come out untouched, while every name of the kernel setting
// and of the terminal reaches only devsim's sandbox.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "file.h"
#include "harness.h"

namespace {

using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;
using testing::StartsWith;

// Every route the module tries, and where it must end, as the module names
// them (modules/hostile.routes).
std::vector<std::pair<std::string, std::string>> routes() {
  std::vector<std::pair<std::string, std::string>> out;
  std::ifstream in(HOSTILE_ROUTES);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') out.push_back({line.substr(9), line.substr(0, line.find(' '))});
  return out;
}

// A TCP port listening on 127.0.0.1 here, for the module to try to reach.
int listener(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return -1;
  port = ntohs(address.sin_port);
  return fd;
}

std::string contents(const std::string& path) { return sim::readFile(path).value_or(""); }

// What the module must leave as it is, by name: the kernel setting and the
// terminals this suite's confinement stands in for, the machine's own other
// setting (read only), and the files in OUTSIDE.
std::map<std::string, std::string> machine(const std::string& outside) {
  std::map<std::string, std::string> state = {
      {"/proc/sys/vm/min_free_kbytes", contents("/proc/sys/vm/min_free_kbytes")},
      {"/proc/sys/vm/swappiness", contents("/proc/sys/vm/swappiness")}};
  for (const std::string& folder : {std::string("/dev/pts"), outside})
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      state[entry.path()] = entry.is_regular_file() ? contents(entry.path()) : "(not a file)";
  return state;
}

// What the caller may see of a run: printable ASCII and line ends only.
bool printable(const std::string& bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c < 0x7F); });
}

TEST(Confinement, HoldsAgainstAHostileModule) {
  sim::Session& session = sim::Session::current();
  if (!session.confined()) GTEST_SKIP() << "the hostile module runs only confined";
  const std::string outside = temporaryFolder(), sandbox = temporaryFolder(), other = temporaryFolder(),
                    cwd = temporaryFolder();
  writeHostFile(outside + "/keep", "keep\n");
  writeHostFile(outside + "/victim", "victim\n");
  std::filesystem::create_directories(other + "/disk");
  std::filesystem::create_directories(sandbox + "/disk");
  writeHostFile(other + "/disk/secret", "secret\n");
  writeHostFile(cwd + "/secret", "secret\n");
  writeHostFile(session.kernelSettingPath(), "7777\n");
  session.resetTerminals({0});
  const auto before = machine(outside);

  int port = 0;
  const int listening = listener(port);
  ASSERT_GE(listening, 0) << "no TCP listener";
  writeHostFile(sandbox + "/disk/hostile-aims", "outside=" + outside + "\nsandbox=" + sandbox + "\nother=" + other +
                                                    "\ncwd=" + cwd + "\npid=" + std::to_string(getpid()) +
                                                    "\nport=" + std::to_string(port) + "\n");
  std::vector<std::string> argv = sim::Session::programCommand(DEVSIM_PATH);
  argv.insert(argv.end(), {"run", TEST_MODULES "/hostile.tap", "--sandbox", sandbox});
  const CommandResult r = runProgram(argv, cwd);
  close(listening);

  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> reported;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, 17, "[module] hostile ") == 0) reported.push_back(line.substr(17));
  const auto expected = routes();
  for (const auto& [route, outcome] : expected) {
    const std::string prefix = route + ": ";
    const auto line = std::find_if(reported.begin(), reported.end(),
                                   [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; });
    const std::string ended = line == reported.end() ? "(not tried)" : line->substr(prefix.size());
    if (outcome == "either")
      EXPECT_THAT(ended, Not(StartsWith("ESCAPED"))) << route;
    else
      EXPECT_THAT(ended, StartsWith(outcome)) << route;
  }
  EXPECT_EQ(reported.size(), expected.size()) << r.out;

  // Nothing it printed or said reaches the caller but escaped, and marked as its own.
  EXPECT_TRUE(printable(r.out)) << r.out;
  EXPECT_TRUE(printable(r.err)) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\n[module] settings   forged line\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("\nsettings   forged")));
  EXPECT_THAT(r.out, HasSubstr("\\x9B2J\\xC2\\x9B31m\\x1B]52;c;"));
  // What it wrote reached only its stand-ins, shown in the report; the copy
  // of its set-user-id file grants nothing.
  EXPECT_EQ(machine(outside), before);
  EXPECT_THAT(r.out, testing::ContainsRegex("\nkernel     min_free_kbytes now holds \"44[0-9][0-9]\\\\n\""));
  EXPECT_THAT(r.out, HasSubstr("\nterminal   /dev/pts/0 received 43 bytes: \"write /dev/./pts/0\\nwrite "
                               "/dev/pts/../pts/0\\n\"\n"));
  struct stat copy;
  ASSERT_EQ(stat((sandbox + "/disk/set-user-id").c_str(), &copy), 0);
  EXPECT_EQ(copy.st_mode & 07000, 0u);
  EXPECT_EQ(contents(other + "/disk/secret"), "secret\n");
  for (const std::string& folder : {outside, sandbox, other, cwd}) std::filesystem::remove_all(folder);
}

}  // namespace
