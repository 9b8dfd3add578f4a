// devsim's confined part and its outside: what the outside hands in (the
// module and the disk, as one tar on the run's input channel) and what the
// confined part hands back (the run's records, and its disk as a tar). The
// confined part never prints the report: it writes records, which the
// outside reads strictly and makes the report of (outside.h).
//
// Started by another confinement than its own outside's (confine, for a
// program under valgrind), it has no channels: it runs on its room as it
// is, the module named on the command line, and writes its records on
// stdout.
#pragma once

#include <stdio.h>

#include <string>

#include "run.h"
#include "session.h"

namespace devsim::confined {

// Where the confined part writes its records; null outside it.
FILE* records();
// Whether it has its outside's channels.
bool channelled();
// A line of devsim check: a record to the outside in the confined part with
// channels, else printed as the report prints.
void line(const char* word, const std::string& text);
// Takes the outside's input into the session's room: the disk, and the
// module, whose path in the room it answers. Without channels, MODULE.
std::string takeInput(sim::Session& session, const std::string& module);
// Hands OUT back: what the terminals received and the kernel setting holds
// (unless the VM read its own), the room's disk as a tar (what is no folder
// or regular file left out and named), then the records.
void giveBack(sim::Session& session, Outcome& out);

}  // namespace devsim::confined
