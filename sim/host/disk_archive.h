// A disk folder as a tar and back (tar.h): how the device's disk crosses into
// a run and out again, between devsim and its confined part and between
// that part and the VM. Only folders and regular files cross; the disk's
// caps (run_limits.h) hold both ways; no link is ever followed.
#pragma once

#include <string>
#include <vector>

#include "tar.h"

namespace sim::disk {

// Appends the folder FOLDER and all below it to ARCHIVE under the name
// PREFIX, in name order. False, with ERROR naming it, for a disk past its
// caps, or for anything that is no folder or regular file, unless SKIPPED
// is given: then such an entry is left out and its disk path kept there.
bool pack(const std::string& folder, const std::string& prefix, std::string& archive, std::string& error,
          std::vector<std::string>* skipped = nullptr);
// The entries of an archive a run gave back, read strictly within the caps.
bool unpack(const std::string& archive, std::vector<tar::Entry>& entries, std::string& error);
// Makes the folder FOLDER hold what ENTRIES below PREFIX hold: folders and
// files made or written, what is not among them removed. An entry that is
// no folder or file is not made, and named in SKIPPED (as a disk path).
bool apply(const std::vector<tar::Entry>& entries, const std::string& prefix, const std::string& folder,
           std::vector<std::string>& skipped, std::string& error);

}  // namespace sim::disk
