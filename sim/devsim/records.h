// The records of a run (sim/image/report_lines.h): what the device image's
// loader writes, what vmrun adds in the VM, and what devsim's confined part
// hands its outside. Read strictly into the run model: every field as its
// record wants it, numbers within their type, texts unescaped, nothing after
// the end.
#pragma once

#include <stdio.h>

#include <string>

#include "run.h"

namespace devsim {

// Reads TEXT, one record a line, into OUT. False, with ERROR naming the
// first line that is no record devsim knows or holds a bad field, when any
// is.
bool readRecords(const std::string& text, Outcome& out, std::string& error);

// OUTCOME as records on OUT, the end record last: everything, or what is
// kept for the end only (the terminals, the kernel setting, what was not
// kept, devsim check's lines, a failure).
void writeRecords(FILE* out, const Outcome& outcome);
void writeEnd(FILE* out, const Outcome& outcome);

}  // namespace devsim
