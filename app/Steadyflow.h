// The module's contract: where its settings file lies on the device's disk,
// the entry it reads there, and the default and limits of the value. The
// module, devsim and the bench take them from here; the tests keep their own
// expected values. Plain constexpr data, for the module (no C++ runtime) and
// the host programs alike.
#pragma once

#include <stdint.h>

namespace steadyflow {

// The module's own folder, and the name of its settings file there.
constexpr char kSettingsFolder[] = "/ProgramFiles/Settings/Steadyflow";
constexpr char kSettingsFile[] = "Steadyflow.ini";

// The entry "MinimumKBFree=N": the kernel's free-memory reserve in KiB. No
// file, no entry or no number gives the default; a value outside the limits
// is held within them.
constexpr char kKey[] = "MinimumKBFree";
constexpr int32_t kDefault = 10000;
constexpr int32_t kLowest = 100;
constexpr int32_t kHighest = 50000;

}  // namespace steadyflow
