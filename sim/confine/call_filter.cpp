#include "call_filter.h"

#include <sys/utsname.h>

#include "call_filter.inc"
#include "file.h"

namespace sim::confine {
namespace {

// The machine's own kind. /proc/sys/kernel/arch is the kernel's word, which
// qemu-mipsel passes on unchanged to a program of the device build, whose
// uname says "mips".
std::string machineKind() {
  const std::string arch = readFile("/proc/sys/kernel/arch").value_or("");
  if (!arch.empty()) return arch.substr(0, arch.find('\n'));
  struct utsname u;
  return uname(&u) == 0 ? u.machine : "";
}

}  // namespace

std::optional<std::string> callFilter(bool nested, std::string& error) {
  const std::string machine = machineKind();
  if (machine != kFilterMachine) {
    error = "the call filter was made for " + std::string(kFilterMachine) + ", and this machine is " +
            (machine.empty() ? "of a kind it cannot tell" : machine) + "; rebuild here";
    return std::nullopt;
  }
  if (nested) return std::string(reinterpret_cast<const char*>(kNestedFilter), sizeof kNestedFilter);
  return std::string(reinterpret_cast<const char*>(kTopFilter), sizeof kTopFilter);
}

}  // namespace sim::confine
