#include "caller.h"

#include <unistd.h>

#include <sstream>

#include "file.h"

namespace sim::confine {

Caller caller() {
  // In the machine's own user namespace every id maps to itself.
  std::istringstream map(readFile("/proc/self/uid_map").value_or(""));
  uint64_t inside = 1, outside = 1, count = 0;
  map >> inside >> outside >> count;
  const bool machine = inside == 0 && outside == 0 && count == 4294967295u;
  return {{getuid(), getgid()}, geteuid() == 0, machine};
}

Ids runIdentity(bool output) {
  const Caller c = caller();
  if (!c.machineRoot()) return c.ids;
  const uid_t id = kIdentityBase + (output ? 0 : static_cast<uid_t>(getpid()));
  return {id, id};
}

}  // namespace sim::confine
