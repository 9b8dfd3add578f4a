// Folders walked one name at a time from a held descriptor, never through a
// link: the listing, opening, making and removing that the sandbox, the
// disk's crossings and the report's disk walk share.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace sim::folder {

// Whether PATH is FOLDER or lies below it (both absolute, no "." or "..").
bool within(const std::string& path, const std::string& folder);
// The names in the folder DIR, "." and ".." left out, in name order; at
// most MOST of them are read. None, with READ (when given) false, when DIR
// cannot be read.
std::vector<std::string> names(int dir, size_t most = SIZE_MAX, bool* read = nullptr);
// Opens the folder RELATIVE ("a/b", empty for DIR itself) below the folder
// DIR, making each missing one when MAKE is set. -1 with errno set when it
// cannot (ELOOP or ENOTDIR for a link or a file on the way), and REACHED,
// when given, the part of RELATIVE up to the name it stopped at.
int openBelow(int dir, const std::string& relative, bool make, std::string* reached = nullptr);
// Removes NAME in the folder DIR, and all below it when it is a folder.
bool remove(int dir, const std::string& name);
// Removes everything in the folder DIR.
bool empty(int dir);

}  // namespace sim::folder
