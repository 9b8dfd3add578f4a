#include "identity.h"

#include <stdio.h>

#include "fail.h"
#include "record.h"

namespace devsim {

sim::Identity moduleIdentity(const std::string& path, sim::Machine machine, const std::string& deviceHint) {
  std::string error, other;
  const auto identity = sim::readIdentity(path, error, machine);
  if (identity) return *identity;
  // A module that is one for the other machine is told so, rather than by
  // its ELF machine number.
  const bool device = machine == sim::Machine::Device;
  if (sim::readIdentity(path, other, device ? sim::Machine::ThisOne : sim::Machine::Device))
    fail(device ? path + ": a module for this machine, not for the device; run it without --image or --vm"
                : path + ": a module for the device (MIPS); " + deviceHint);
  fail(error);
}

bool isOurModule(const sim::Identity& identity) {
  return identity.name == STEADYFLOW_MODULE_NAME && identity.id == STEADYFLOW_MODULE_ID;
}

std::string notOurs(const sim::Identity& identity) {
  auto id = [](uint32_t n) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", n);
    return std::string(" (ID ") + text + ")";
  };
  return sim::record::quoted(identity.name) + id(identity.id) + " is not this project's module, " +
         STEADYFLOW_MODULE_NAME + id(STEADYFLOW_MODULE_ID);
}

}  // namespace devsim
