// The module's calls of the platform's `open` and `system`, as the hosting
// programs see them. Every program that hosts the module links this unit,
// which defines its own `open` and `system`; they bind before libc's, so the
// module's calls land here. Calls made by a loaded module (linker.h tells
// them apart) are recorded and, as the session decides, either passed on
// unchanged to the real libc and a real /bin/sh, or refused: until the
// session says it runs confined, nothing the module opens or runs may reach
// the machine.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sim::platform {

struct OpenCall {
  uint64_t sequence = 0;  // place among all of the module's recorded calls
  std::string path;
  int flags = 0;
  int result = -1;  // the descriptor, or -1
  int error = 0;    // errno when it failed
};

struct ShellCall {
  uint64_t sequence = 0;
  std::string command;
  bool ran = false;  // whether a shell ran it
  int status = -1;   // what system answered
};

// What happens to the module's calls from now on.
enum class Access {
  Pass,    // open reaches the real libc, system runs /bin/sh
  Record,  // open passes, system is recorded and answers -1 without running
  Refuse,  // both are recorded only: open answers -1 (EACCES), system -1
};
void setAccess(Access access);

// The module's calls since the last clear, in order.
const std::vector<OpenCall>& opens();
const std::vector<ShellCall>& commands();
void clear();

// A call as a trace shows it, e.g.
//   open("/dev/pts/0", 2) = 3          open("/dev/pts/1", 2) = -1 (ENOENT)
//   system("echo 10000 > ...") = 0     system("...") not run
std::string text(const OpenCall& call);
std::string text(const ShellCall& call);

}  // namespace sim::platform
