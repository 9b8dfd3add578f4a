// A module's settings files on the device's disk, as devsim reads them for
// its report and its check: only regular files, never through a link,
// never blocking on a FIFO or a device, bounded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "sandbox.h"

namespace devsim {

// Where the module looks for its settings file, in the order it takes them:
// the file in its own folder ends the search; of the other two the file in
// "/ProgramFiles/Settings" wins over the one in "/ProgramFiles".
extern const char* const kSettingsFiles[3];
// A settings file beyond this is refused: the module reads its file whole
// into memory.
constexpr uint64_t kLongestSettings = 16u << 20;

// The settings files as a run finds them, each of kSettingsFiles or nothing;
// a run compares this much of each to tell whether it changed them.
using SettingsFiles = std::vector<std::optional<sim::sandbox::FileBytes>>;
constexpr size_t kComparedBytes = 1 << 16;

// The settings file at DISK_PATH on the disk folder DISK, its first LIMIT
// bytes kept: nothing when missing. A file the module cannot use as
// settings (a link, a FIFO, a device, one too long to load) ends the
// program with one line.
std::optional<sim::sandbox::FileBytes> settingsFile(const std::string& disk, const std::string& diskPath, size_t limit);
// Each of kSettingsFiles, or of the disk paths FILES, as settingsFile reads it.
SettingsFiles settingsFiles(const std::string& disk, size_t limit);
SettingsFiles settingsFiles(const std::string& disk, const std::vector<std::string>& files, size_t limit);
// The host file PATH, named by the user, read whole under the same rules;
// a missing file ends the program too.
sim::sandbox::FileBytes namedSettingsFile(const std::string& path);

}  // namespace devsim
