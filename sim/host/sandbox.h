// The sandbox folder: everything a run of the module may write. Inside the
// confinement (confinement.h) it stands in for the device's disk, terminals
// and kernel setting:
//   ROOT/disk/                          the device's disk ("/ProgramFiles" ...)
//   ROOT/dev/pts/                       bound over /dev/pts
//   ROOT/proc/sys/vm/min_free_kbytes    bound over /proc/sys/vm/min_free_kbytes
//   ROOT/tmp/                           the hosting program's temporary files
// The layout is made and used without following a link: a link where one of
// these folders or files belongs is refused, never followed.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace sim::sandbox {

// Checks ROOT as a sandbox folder (not empty, not the machine's "/", not in
// or above its /proc, /sys or /dev), makes it where missing and lays it out.
// Answers the absolute path, or nothing with ERROR set to one line.
std::optional<std::string> prepare(const std::string& root, std::string& error);
// Checks and makes a further folder the hosting program writes (its output).
std::optional<std::string> prepareWritable(const std::string& folder, std::string& error);

// RELATIVE below BASE as a message names it ("." is left out).
std::string joinedPath(const std::string& base, const std::string& relative);
// The host paths of the layout under ROOT.
std::string disk(const std::string& root);
std::string terminal(const std::string& root, int number);
std::string kernelSetting(const std::string& root);
std::string temporary(const std::string& root);

// Leaves exactly the terminals NUMBERS in ROOT/dev/pts, each empty.
bool resetTerminals(const std::string& root, const std::vector<int>& numbers, std::string& error);
// Empties the kernel setting in place: the file itself is what is bound over
// the machine's, so it is never replaced.
bool clearKernelSetting(const std::string& root, std::string& error);
// Empties the disk folder, leaving only "/ProgramFiles".
bool resetDisk(const std::string& root, std::string& error);

// The file RELATIVE below the folder BASE as a report shows it: only a regular
// file, reached without passing a link, never blocking on a FIFO or device,
// at most LIMIT bytes kept. Nothing, with ERROR set, when it is missing or
// no such file.
struct FileBytes {
  uint64_t size = 0;  // the whole file's length
  std::string bytes;  // its first LIMIT bytes
};
std::optional<FileBytes> readRegular(const std::string& base, const std::string& relative, size_t limit,
                                     std::string& error);

}  // namespace sim::sandbox
