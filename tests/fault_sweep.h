// The fault sweep, a service of the harness (DeviceTest::sweepFaults): a run
// is made once without faults and recorded call by call, then once more for
// every firmware call in it that can fail, each time after a fresh boot
// (sandbox, firmware, firmware data, module) with only that call failing.
// The test supplies the three steps and gets counters back.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <string>

// The call a run makes fail; no entry for the run without faults.
struct SweptCall {
  std::string entry;  // e.g. "TAP_Hdd_Fopen"
  uint32_t nth = 0;   // which of the run's calls of the entry, from 1
};

struct FaultSweep {
  // After each boot: lays the disk out and breaks or opens what the run
  // needs. Its own firmware calls are never made to fail.
  std::function<void()> prepare;
  // The body: TAP_Main, a rewrite, an open.
  std::function<void()> run;
  // After each run, with or without a fault: asserts what must hold (with
  // EXPECT_...) and names the outcome, "" for the plain one, so that the
  // sweep counts how often each happened.
  std::function<std::string(const SweptCall& failing)> check;
};

struct SweepCounts {
  int calls = 0;   // firmware calls of the run without faults
  int runs = 0;    // faulted runs: one for each of those calls that can fail
  int failed = 0;  // runs, the plain one too, whose check broke or whose fault missed its call
  std::map<std::string, int> entries;   // faulted runs by failing entry
  std::map<std::string, int> outcomes;  // faulted runs by named outcome
  SweepCounts& operator+=(const SweepCounts& other);
  // "19 calls, 13 can fail (TAP_Hdd_ChangeDir 7, ...), 13 runs, all held; OUTCOME: 2"
  std::string line() const;
};
