// What a run of the module did, whether devsim ran it in its own process or
// the device image's loader ran it (devsim run --image): the entries'
// results and every call the module made, as the same records. devsim's
// report and --trace are made from this alone, so both runs read alike.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "linker.h"
#include "platform.h"
#include "trace.h"

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
  // Every call the module made, each list in order; the sequence numbers
  // order them among each other.
  std::vector<sim::FirmwareCall> firmware;
  std::vector<sim::linker::Call> linker;
  std::vector<sim::platform::OpenCall> opens;
  std::vector<sim::platform::ShellCall> commands;
  std::string cwd;  // the firmware's current directory at the end
  uint32_t liveBlocks = 0;
  uint64_t peakBytes = 0;
};

// All text the module printed through TAP_Print, in order.
std::string printed(const Outcome& out);
// "40 firmware, 8 dynamic-linker (dlopen 2, dlsym 2, dlerror 2, dlclose 2)"
std::string callCounts(const Outcome& out);
// Every call in the order the module made them, one display line each.
std::vector<std::string> callLines(const Outcome& out);

}  // namespace devsim
