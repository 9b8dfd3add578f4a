#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim::sandbox {
namespace {

constexpr char kTerminals[] = "/dev/pts/";
constexpr char kKernelVm[] = "/proc/sys/vm/";

struct State {
  std::string root;
  std::vector<std::string> commands;
  bool failSystem = false;
};

State& state() {
  static State s;
  return s;
}

bool startsWith(const char* s, const char* prefix) {
  for (; *prefix; ++s, ++prefix)
    if (*s != *prefix) return false;
  return true;
}

// The command with every "/proc/sys/vm/" mapped into the sandbox; empty when
// it would still reach a real device or kernel setting.
std::string mapCommand(const std::string& command) {
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = command.find(kKernelVm, pos)) != std::string::npos; pos = hit + sizeof kKernelVm - 1)
    out += command.substr(pos, hit - pos) + "\x01";
  out += command.substr(pos);
  for (const char* forbidden : {"/proc", "/sys", "/dev"})
    if (out.find(forbidden) != std::string::npos) return {};
  std::string mapped;
  for (char c : out) mapped += c == '\x01' ? state().root + kKernelVm : std::string(1, c);
  return mapped;
}

}  // namespace

void setRoot(const std::string& root) { state().root = root; }
const std::string& root() { return state().root; }
std::string terminal(int number) { return root() + kTerminals + std::to_string(number); }
std::string kernelSetting() { return root() + kKernelVm + "min_free_kbytes"; }
const std::vector<std::string>& commands() { return state().commands; }
void clearCommands() { state().commands.clear(); }
void failSystem(bool fail) { state().failSystem = fail; }

}  // namespace sim::sandbox

using namespace sim::sandbox;

extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  std::string mapped;
  if (path != nullptr && (startsWith(path, "/dev/pts") || startsWith(path, "/proc/sys"))) {
    const bool climbs = std::string(path).find("..") != std::string::npos;
    if (root().empty() || climbs || !startsWith(path, kTerminals)) {
      errno = EACCES;
      return -1;
    }
    mapped = root() + path;
    path = mapped.c_str();
  }
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" int system(const char* command) {
  if (command == nullptr) return 1;  // a shell is available
  state().commands.push_back(command);
  if (state().failSystem) return -1;
  const std::string mapped = root().empty() ? std::string() : mapCommand(command);
  if (mapped.empty()) return -1;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", mapped.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}
