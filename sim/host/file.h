// A whole file read at once, for the hosting programs' own files (records,
// expected texts, what a test left): the one whole-file read. Files the
// module may have written are read bounded and without following links
// (sandbox.h readRegular).
#pragma once

#include <optional>
#include <string>

namespace sim {

// The bytes of the file PATH; nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

}  // namespace sim
