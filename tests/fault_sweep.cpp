#include "fault_sweep.h"

#include <algorithm>
#include <vector>

#include "harness.h"

namespace {

// Failed assertions of the running test so far.
int failures() {
  const testing::TestResult& result = *testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result.total_part_count(); ++i) failed += result.GetTestPartResult(i).failed();
  return failed;
}

}  // namespace

SweepCounts DeviceTest::sweepFaults(const FaultSweep& sweep) {
  // Boots, prepares, and runs with FAILING failing; answers the run's calls.
  auto runFailing = [&](const SweptCall& failing) {
    boot(config());
    if (sweep.prepare) sweep.prepare();
    if (!failing.entry.empty()) fw().failCall(failing.entry, fw().callCount(failing.entry) + failing.nth);
    fw().clearTrace();
    sweep.run();
    return fw().trace();
  };

  SweepCounts counts;
  int before = failures();
  std::vector<sim::FirmwareCall> recorded;
  {
    SCOPED_TRACE("the run without faults");
    recorded = runFailing({});
    sweep.check({});
  }
  if (failures() > before) {
    counts.failed = 1;
    return counts;
  }
  counts.calls = static_cast<int>(recorded.size());

  std::map<std::string, uint32_t> seen;
  for (size_t k = 0; k < recorded.size(); ++k) {
    const SweptCall failing{recorded[k].entry, ++seen[recorded[k].entry]};
    if (!fw().canFail(failing.entry)) continue;
    SCOPED_TRACE("call " + std::to_string(k) + " " + sim::record::text(recorded[k]) + " failing");
    before = failures();
    const std::vector<sim::FirmwareCall> trace = runFailing(failing);
    // The calls before the fault are those recorded, so the fault hit the call meant.
    EXPECT_TRUE(trace.size() > k && std::equal(recorded.begin(), recorded.begin() + k, trace.begin()) && trace[k].fault)
        << "the fault missed its call";
    const std::string outcome = sweep.check(failing);
    ++counts.runs;
    ++counts.entries[failing.entry];
    if (!outcome.empty()) ++counts.outcomes[outcome];
    counts.failed += failures() > before;
  }
  return counts;
}

SweepCounts& SweepCounts::operator+=(const SweepCounts& other) {
  calls += other.calls;
  runs += other.runs;
  failed += other.failed;
  for (const auto& [entry, n] : other.entries) entries[entry] += n;
  for (const auto& [outcome, n] : other.outcomes) outcomes[outcome] += n;
  return *this;
}

std::string SweepCounts::line() const {
  std::string out = std::to_string(calls) + " calls, " + std::to_string(runs) + " can fail (";
  for (const auto& [entry, n] : entries)
    out += (entry == entries.begin()->first ? "" : ", ") + entry + " " + std::to_string(n);
  out += "), " + std::to_string(runs) + " runs, " + (failed ? std::to_string(failed) + " failed" : "all held");
  for (const auto& [outcome, n] : outcomes) out += "; " + outcome + ": " + std::to_string(n);
  return out;
}
