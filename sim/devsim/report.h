// devsim's report: one line per finding, a word and the text, every text in
// it escaped the one way the records escape bytes (record.h), so that nothing
// a module holds or does can pass for a line of its own.
#pragma once

#include <stddef.h>

#include <string>

#include "disk_changes.h"
#include "module.h"
#include "options.h"
#include "run.h"
#include "sandbox.h"
#include "session.h"
#include "settings.h"

namespace devsim {

// "WHAT       TEXT" on stdout.
void report(const char* what, const std::string& text);

// The report of a run of O's module: its identity, what its entries did, the
// terminals, the commands and the kernel setting, this project's module's
// settings files against BEFORE, what the run did to the disk DISK against
// DISK_BEFORE, the state left, and with --trace every call in order. Answers
// devsim's exit status: 0, or 3 when the kernel setting was not written.
int reportRun(const Options& o, const sim::Identity& identity, const Outcome& out, const SettingsFiles& before,
              const DiskState& diskBefore, const std::string& disk);

}  // namespace devsim
