// The sandbox keeps the module off the machine's real devices and kernel
// settings. Every program that hosts the module links this unit, which defines
// its own `open` and `system`; they bind before libc's, so the module's calls
// land here:
//   open("/dev/pts/N")   opens ROOT/dev/pts/N (absent unless a scenario made it);
//   system(command)      runs /bin/sh with "/proc/sys/vm/" mapped to
//                        ROOT/proc/sys/vm/, and refuses any command that still
//                        names /proc, /sys or /dev.
// With no root set, both refuse everything. failSystem makes `system` record
// the command and fail without running a shell, as on a device without one.
#pragma once

#include <string>
#include <vector>

namespace sim::sandbox {

void setRoot(const std::string& root);
const std::string& root();
// Host paths of a terminal device and of the kernel's free-memory reserve.
std::string terminal(int number);
std::string kernelSetting();
// Commands handed to system since the last clear, as the module wrote them.
const std::vector<std::string>& commands();
void clearCommands();
// While set, `system` records each command and answers -1 without running it.
void failSystem(bool fail);

}  // namespace sim::sandbox
