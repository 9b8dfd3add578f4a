// The tar archives (POSIX ustar, and the GNU long name a VM's tar may add)
// that carry the device's disk into a run and back: between devsim and its
// confined part, and into the VM and back. Writing is for our own archives;
// reading is strict, since what comes back is a module's to make:
// every header's checksum, numbers and bounds are checked, names are paths
// below the archive's top with no "." or ".." part, and the entries and
// their bytes are capped.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace sim::tar {

enum class Kind { Folder, File, Other };

struct Entry {
  std::string path;  // relative, "/"-separated, no trailing "/"
  Kind kind = Kind::File;
  std::string bytes;  // a file's
  char type = '0';    // as read: the header's type, '0' file, '5' folder, '2' link, ...
};

// Appends ENTRY (a folder or file) to ARCHIVE; false, with ERROR set, when
// its path does not fit a header.
bool append(std::string& archive, const Entry& entry, std::string& error);
// Ends ARCHIVE with its two zero blocks.
void finish(std::string& archive);

// The entries of the archive DATA (SIZE bytes, zero blocks or the end of the
// data end it), at most MAX_ENTRIES of them with at most MAX_BYTES of file
// data in all. False, with ERROR set to what is wrong, when it is no such
// archive.
bool read(const char* data, size_t size, size_t maxEntries, uint64_t maxBytes, std::vector<Entry>& entries,
          std::string& error);

}  // namespace sim::tar
