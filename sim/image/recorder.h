// The records of the module's calls in the image, written as the loader's
// report (report_lines.h) the moment each call is done: the firmware's calls
// through the core's record hook, and the module's calls of dlopen, dlsym,
// dlerror, dlclose, open and system through its global offset table, whose
// entries for them are pointed at recorders that call what the device's
// loader had bound there.
#pragma once

#include <stdint.h>

#include "module_file.h"

namespace tapload {

// Records the firmware's calls from now on.
void recordFirmware();
// Records the module's calls of the functions above from now on. BASE is its
// load address; PROCESS a handle of the global scope, for the check that each
// table entry holds what the loader bound.
void recordModuleCalls(const ModuleFile& module, uintptr_t base, void* process);

}  // namespace tapload
