// What a run of the module did, whether devsim ran it in its own process or
// the device image's loader ran it (devsim run --image): the report is made
// from this alone, so both read alike.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "devsim_options.h"
#include "platform.h"
#include "session.h"

namespace devsim {

struct Outcome {
  int32_t init = 0;
  bool slotsFilled = false;  // __TAP_Init_ filled both entry slots
  int32_t main = 0;
  std::string printed;  // what the module printed through TAP_Print
  std::vector<std::pair<Event, uint32_t>> events;  // each event and what the handler answered
  std::vector<sim::platform::ShellCall> commands;
  std::string cwd;  // the firmware's current directory at the end
  uint32_t liveBlocks = 0;
  uint64_t peakBytes = 0;
  uint32_t firmwareCalls = 0;
  std::string linkerCalls;  // "N dynamic-linker (dlopen ...)"; empty where not recorded
};

// Runs the session's module in the device image at O.image: its loader
// (bin/tapload) under qemu-mipsel, inside this program's confinement, on the
// session's disk and terminals. A loader that fails ends devsim with one line.
Outcome runInImage(const Options& o, const sim::Session& session);

}  // namespace devsim
