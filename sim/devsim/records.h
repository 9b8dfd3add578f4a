// The records a loader outside this process writes of a run (the device
// image's tapload, and in the VM vmrun too; sim/image/report_lines.h), read
// strictly into the run model: every field as its record wants it, numbers
// within their type, texts unescaped.
#pragma once

#include <string>

#include "run.h"

namespace devsim {

// Reads TEXT, one record a line, into OUT. False, with ERROR naming the
// first line that is no record devsim knows or holds a bad field, when any
// is.
bool readRecords(const std::string& text, Outcome& out, std::string& error);

}  // namespace devsim
