// What a run of the module did, whether devsim ran it in its own process or
// the device image's loader ran it (devsim run --image): the entries'
// results and every call the module made, as the records the hosting
// programs keep (record.h). devsim's report and --trace are made from this
// alone, so both runs read alike.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "options.h"
#include "record.h"
#include "session.h"

namespace devsim {

// One delivered event and what the handler answered.
struct EventCall {
  uint32_t code = 0, param1 = 0, param2 = 0;
  uint32_t result = 0;
};

struct Outcome {
  int32_t init = 0;
  bool slotsFilled = false;  // __TAP_Init_ filled both entry slots
  int32_t main = 0;
  std::vector<EventCall> events;
  sim::record::Calls calls;
  std::string cwd;  // the firmware's current directory at the end
  uint32_t liveBlocks = 0;
  uint64_t peakBytes = 0;
};

// Runs the session's module here: hands it its entry record, calls its main
// entry and delivers O's events, telling the confinement each step (a run
// ended by a signal is named with its place).
Outcome runHere(const Options& o, sim::Session& session);

}  // namespace devsim
