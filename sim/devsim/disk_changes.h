// What a run did to the device's disk, for any module: the disk's entries
// before the run and after it, each a plain value, and the difference of the
// two as the report's `disk` lines. The disk is walked without following a
// link and without opening anything but folders and regular files, within
// bounds on its entries, its depth and the bytes kept.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

// Entries past this many (in name order) are not compared, nor folders
// deeper than kDeepestFolder below the disk's root.
constexpr size_t kMostEntries = 16384;
constexpr int kDeepestFolder = 64;
// The files' bytes kept in all, in name order: a file that fits is compared
// byte for byte, any other by its size and time of change.
constexpr uint64_t kKeptBytes = 16u << 20;

// One entry of the disk.
struct DiskEntry {
  enum Kind { Folder, File, Link, Fifo, Device, Socket } kind = File;
  uint64_t size = 0;                 // a file's length
  int64_t changedAt = 0;             // a file's time of change, in ns
  std::optional<std::string> bytes;  // a file's bytes, when kept
  std::string target;                // a link's target, as it is written
};

// The disk's entries by disk path ("/ProgramFiles/Settings"), and why some
// were not taken when not all were (empty when all were).
struct DiskState {
  std::map<std::string, DiskEntry> entries;
  std::string untaken;
};

// The entries on the disk folder DISK (a host path).
DiskState diskState(const std::string& disk);

// An entry the run created, changed or deleted: BEFORE or AFTER is none
// where it was not there.
struct DiskChange {
  std::string path;
  std::optional<DiskEntry> before, after;
};
std::vector<DiskChange> diskChanges(const DiskState& before, const DiskState& after);

// The report's text for each change, as "PATH created, 21 bytes", "PATH
// changed, 23 bytes (21 bytes before)", "PATH deleted, a folder"; one line
// when there is none, and one saying what was not compared. At most
// kShownChanges changes, then a line counting the rest.
constexpr size_t kShownChanges = 64;
std::vector<std::string> diskLines(const DiskState& before, const DiskState& after);

}  // namespace devsim
