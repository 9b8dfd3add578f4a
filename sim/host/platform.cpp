// The `open` defined here must keep the plain name the module imports, which
// 64-bit file offsets would rename to open64.
#undef _FILE_OFFSET_BITS
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "linker.h"
#include "process.h"

namespace sim::platform {
namespace {

struct State {
  Access access = Access::Refuse;
  std::vector<record::OpenCall> opens;
  std::vector<record::ShellCall> commands;
};

State& state() {
  static State s;
  return s;
}

int runShell(const char* command) { return process::run({"/bin/sh", "-c", command}); }

}  // namespace

void setAccess(Access access) { state().access = access; }
const std::vector<record::OpenCall>& opens() { return state().opens; }
const std::vector<record::ShellCall>& commands() { return state().commands; }
void clear() {
  state().opens.clear();
  state().commands.clear();
}

}  // namespace sim::platform

using namespace sim::platform;
using sim::record::OpenCall;
using sim::record::ShellCall;

extern "C" __attribute__((noinline)) int open(const char* path, int flags, ...) {
  const bool module = sim::linker::fromModule(__builtin_return_address(0));
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if (!module) return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
  OpenCall call;
  call.sequence = sim::record::next();
  call.path = path != nullptr ? path : "(null)";
  call.flags = flags;
  if (state().access == Access::Refuse) {
    call.error = EACCES;
  } else {
    call.result = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
    if (call.result < 0) call.error = errno;
  }
  state().opens.push_back(call);
  if (call.result < 0) errno = call.error;
  return call.result;
}

extern "C" __attribute__((noinline)) int system(const char* command) {
  const bool module = sim::linker::fromModule(__builtin_return_address(0));
  if (command == nullptr) return 1;  // a shell is available
  if (!module) return runShell(command);
  ShellCall call;
  call.sequence = sim::record::next();
  call.command = command;
  call.ran = state().access == Access::Pass;
  call.status = call.ran ? runShell(command) : -1;
  state().commands.push_back(call);
  return call.status;
}
