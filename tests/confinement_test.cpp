// The confinement against a hostile module (modules/hostile.cpp): devsim runs
// it confined on a sandbox inside this suite's own, nesting the confinements
// as every devsim run in the suite does. This suite's sandbox then stands for
// the machine: the files the test makes there, its kernel setting and its
// terminals must come out untouched, while every name of the kernel setting
// and of the terminal reaches only devsim's sandbox.
#include <stdlib.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <sstream>

#include "harness.h"

namespace {

using testing::MatchesRegex;
using testing::StartsWith;

struct Route {
  const char* name;
  const char* outcome;  // "sandbox" or "refused"
};

// Every route the module tries, as it names them.
const Route kRoutes[] = {
    {"write /proc/sys/vm/min_free_kbytes", "sandbox"},
    {"write //proc/sys/vm/min_free_kbytes", "sandbox"},
    {"write /proc/./sys/vm/min_free_kbytes", "sandbox"},
    {"write /proc/sys/vm/../vm/min_free_kbytes", "sandbox"},
    {"write /proc/self/root/proc/sys/vm/min_free_kbytes", "sandbox"},
    {"shell cd /; cd proc; cd sys; echo N > vm/min_free_kbytes", "sandbox"},
    {"shell echo N > $(echo /proc)/sys/vm/min_free_kbytes", "sandbox"},
    // The suite's processes, seen in devsim's /proc, are out of reach.
    {"write /proc/1/root/proc/sys/vm/min_free_kbytes", "refused"},
    {"write /proc/PID/root/proc/sys/vm/min_free_kbytes", "refused"},
    {"open /proc/PID/root/OUTSIDE/keep", "refused"},
    {"open /proc/PID/mem", "refused"},
    {"setns /proc/1/ns/mnt", "refused"},
    {"setns /proc/PID/ns/mnt", "refused"},
    {"open /proc/sys/vm/swappiness", "refused"},
    {"open //proc/sys/vm/swappiness", "refused"},
    {"open /proc/self/root/proc/sys/vm/swappiness", "refused"},
    {"shell cd /; cd proc; cd sys; : > vm/swappiness", "refused"},
    {"open /proc/sysrq-trigger", "refused"},
    {"open /sys/kernel/mm/transparent_hugepage/enabled", "refused"},
    {"open HOST/proc/sys/vm/min_free_kbytes", "refused"},
    {"mount proc on /proc", "refused"},
    {"mount proc in the sandbox", "refused"},
    {"remount / read-write", "refused"},
    {"shell mount -o remount,rw /", "refused"},
    {"umount /proc/sys/vm/min_free_kbytes", "refused"},
    {"unshare a mount namespace", "refused"},
    {"unshare a user namespace and mount", "refused"},
    {"write /dev/./pts/0", "sandbox"},
    {"write /dev/pts/../pts/0", "sandbox"},
    {"open /dev/tty", "refused"},
    {"open /dev/ptmx", "refused"},
    {"open /dev/console", "refused"},
    {"open HOST/dev/pts/0", "refused"},
    {"create OUTSIDE/new", "refused"},
    {"create /tmp/new", "refused"},
    {"create HOME/new", "refused"},
    {"create BUILD/new", "refused"},
    {"create next to the checkout", "refused"},
    {"open OUTSIDE/keep", "refused"},
    {"delete OUTSIDE/victim", "refused"},
    {"mkdir OUTSIDE/new-folder", "refused"},
    {"shell touch OUTSIDE/new", "refused"},
    {"shell rm -f OUTSIDE/victim", "refused"},
    {"shell echo x > /tmp/new", "refused"},
    {"shell echo x > OUTSIDE/new", "refused"},
    {"shell $(echo touch) OUTSIDE/new", "refused"},
    {"make a unix stream socket", "refused"},
    {"make a unix datagram socket", "refused"},
    {"read the session keyring", "refused"},
};

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

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

TEST(Confinement, HoldsAgainstAHostileModule) {
  sim::Session& session = sim::Session::current();
  if (!session.confined()) GTEST_SKIP() << "the hostile module runs only confined";
  const std::string outside = temporaryFolder(), sandbox = temporaryFolder();
  std::ofstream(outside + "/keep") << "keep\n";
  std::ofstream(outside + "/victim") << "victim\n";
  std::ofstream(session.kernelSettingPath()) << "7777\n";
  session.resetTerminals({0});
  const auto before = machine(outside);

  setenv("HOSTILE_OUTSIDE", outside.c_str(), 1);
  setenv("HOSTILE_HOST", session.root().c_str(), 1);
  setenv("HOSTILE_PID", std::to_string(getpid()).c_str(), 1);
  std::vector<std::string> argv = programCommand(DEVSIM_PATH);
  argv.insert(argv.end(), {"run", TEST_MODULES "/hostile.tap", "--sandbox", sandbox});
  const CommandResult r = runProgram(argv);
  for (const char* name : {"HOSTILE_OUTSIDE", "HOSTILE_HOST", "HOSTILE_PID"}) unsetenv(name);

  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> reported;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, 8, "hostile ") == 0) reported.push_back(line.substr(8));
  for (const Route& route : kRoutes) {
    const std::string prefix = route.name + std::string(": ");
    const auto line = std::find_if(reported.begin(), reported.end(),
                                   [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; });
    EXPECT_THAT(line == reported.end() ? "(not tried)" : line->substr(prefix.size()), StartsWith(route.outcome))
        << route.name;
  }
  EXPECT_EQ(reported.size(), std::size(kRoutes)) << r.out;

  EXPECT_EQ(machine(outside), before);
  EXPECT_THAT(contents(sandbox + "/proc/sys/vm/min_free_kbytes"), MatchesRegex("44[0-9][0-9]\n"));
  EXPECT_EQ(contents(sandbox + "/dev/pts/0"), "write /dev/./pts/0\nwrite /dev/pts/../pts/0\n");
  std::filesystem::remove_all(outside);
  std::filesystem::remove_all(sandbox);
}

}  // namespace
