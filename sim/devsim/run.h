// What a run of the module did, whether devsim ran it in its own process or
// the device image's loader ran it (devsim run --image): the entries'
// results and every call the module made, as the records the hosting
// programs keep (record.h). devsim's report and --trace are made from this
// alone, so both runs read alike.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
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

// The bytes a pseudo-terminal received: SIZE in all, the first of them kept.
struct TerminalBytes {
  int number = 0;
  uint64_t size = 0;
  std::string bytes;
};

// What a run in the VM shows besides: the kernel it ran on and its memory
// (kB), the memory available before and after the run, and how the loader
// ended (its wait status and first line of complaint).
struct VmFacts {
  std::string release;
  uint64_t totalKb = 0, availableBefore = 0, availableAfter = 0;
  int loaderStatus = 0;
  std::string loaderError;
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
  // What the terminals that exist received, and the kernel setting before
  // and after the run (the stand-in's, or in the VM the kernel's own).
  std::vector<TerminalBytes> terminals;
  std::string kernelBefore;
  std::optional<std::string> kernel;
  // What the run left on its disk that is no folder or regular file, and so
  // was not kept (as disk paths).
  std::vector<std::string> notKept;
  // What the sandbox's disk holds that is no folder or regular file, and so
  // was not handed to the run (it stays as it is).
  std::vector<std::string> notHandedIn;
  std::optional<VmFacts> vm;  // a run in the VM
  // devsim check's lines (a word and its text), or the one line a confined
  // run ended with and its exit status.
  std::vector<std::pair<std::string, std::string>> lines;
  std::optional<std::pair<int, std::string>> failure;
  bool ended = false;  // the records say the run's end: they are whole
};

// Runs the session's module here: hands it its entry record, calls its main
// entry and delivers O's events, telling the confinement each step (a run
// ended by a signal is named with its place).
Outcome runHere(const Options& o, sim::Session& session);

}  // namespace devsim
