// The module devsim is given: its identity header, read with the line devsim
// ends with when the file is no module for the run, and whether it is this
// project's own module, the one whose settings devsim's report and check
// know by themselves (app/Steadyflow.h).
#pragma once

#include <string>

#include "module.h"

namespace devsim {

// The identity header of the module file PATH, built for MACHINE; any other
// file ends devsim with one line, "PATH: reason". A module built for the
// other machine is told what to do instead: DEVICE_HINT for a device build
// where this machine's is wanted (e.g. "run it with --image DIR or --vm
// DIR").
sim::Identity moduleIdentity(const std::string& path, sim::Machine machine, const std::string& deviceHint);

// Whether IDENTITY is this project's module: the name and the ID its build
// gives it (app/CMakeLists.txt), both. Another module may keep its settings
// anywhere, under any key.
bool isOurModule(const sim::Identity& identity);

// That IDENTITY is not this project's module, in words:
// "\"Counter V1\" (ID 0x2A5F0002) is not this project's module, SteadyflowTest V1.0 (ID 0x2A5F0001)".
std::string notOurs(const sim::Identity& identity);

}  // namespace devsim
