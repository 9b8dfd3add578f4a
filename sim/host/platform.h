// The module's calls of the platform's `open` and `system`, as the hosting
// programs see them. Every program that hosts the module links this unit,
// which defines its own `open` and `system`; they bind before libc's, so the
// module's calls land here. Calls made by a loaded module (linker.h tells
// them apart) are recorded and, as the session decides, either passed on
// unchanged to the real libc and a real /bin/sh, or refused: until the
// session says it runs confined, nothing the module opens or runs may reach
// the machine.
#pragma once

#include <vector>

#include "record.h"

namespace sim::platform {

// What happens to the module's calls from now on.
enum class Access {
  Pass,    // open reaches the real libc, system runs /bin/sh
  Record,  // open passes, system is recorded and answers -1 without running
  Refuse,  // both are recorded only: open answers -1 (EACCES), system -1
};
void setAccess(Access access);

// The module's calls since the last clear, in order.
const std::vector<record::OpenCall>& opens();
const std::vector<record::ShellCall>& commands();
void clear();

}  // namespace sim::platform
