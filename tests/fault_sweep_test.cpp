// The fault sweep: a run is recorded call by call, then rerun once for every
// firmware call that can fail, on a fresh disk with a fresh module and only
// that call failing. Every rerun must finish tidy (no heap block, file handle
// or stack entry left), apply a sane value exactly once and leave each
// settings file as it was, whole and new, or in one of the named windows a
// save cannot close; those are counted. The starts are the four start-up runs
// and a rewrite of a file by SaveINI. Each prints its totals.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "SteadyflowTest.h"
#include "harness.h"
#include "helpers.h"

namespace {

namespace fs = std::filesystem;

const std::string kSettingsName = "Steadyflow.ini";
const std::string kModuleFile = "/ProgramFiles/Settings/Steadyflow/Steadyflow.ini";
const std::string kSettingsFolderFile = "/ProgramFiles/Settings/Steadyflow.ini";
constexpr int32_t kDefault = 10000;

// The entries the simulated firmware can fail, each in its one way
// (firmware.h): an allocation gives 0, an open gives 0, a read or write
// answers 0, a change of directory answers failure, a create or delete does
// nothing, an existence test answers the opposite, a length answers
// 0xFFFFFFFF. The other entries cannot fail.
const std::set<std::string> kFailingEntries = {
    "TAP_MemAlloc",   "TAP_Hdd_Fopen",  "TAP_Hdd_Fread", "TAP_Hdd_Fwrite", "TAP_Hdd_ChangeDir",
    "TAP_Hdd_Create", "TAP_Hdd_Delete", "TAP_Hdd_Exist", "TAP_Hdd_Flen",
};

std::string command(int32_t value) { return "echo " + std::to_string(value) + " > /proc/sys/vm/min_free_kbytes"; }

// What a scenario puts on the disk, the value a run applies when it can read
// the file, and the bytes a settings file the run writes may hold: a text
// made from nothing, or the file's own text with the value set (empty when
// the run is not to rewrite the file).
struct Start {
  const char* name;
  std::string file;  // disk path of the settings file, empty for none
  std::string bytes;
  int32_t value;  // 0: the run applies nothing
  std::string fresh, updated;
};

// Names a start in test listings.
void PrintTo(const Start& start, std::ostream* out) { *out << start.name; }

const std::string kDefaultText = "MinimumKBFree=10000\r\n";

// The valid file is long enough that a read failing half-way cuts its value
// short.
const Start kStarts[] = {
    {"BareDisk", "", "", kDefault, kDefaultText, ""},
    {"FileInModuleFolder", kModuleFile, "MinimumKBFree=12345\r\nOther=1234\r\n", 12345, kDefaultText, ""},
    {"FileOnlyInSettingsFolder", kSettingsFolderFile, "MinimumKBFree=700\r\n", 700, kDefaultText, ""},
    {"LettersAsValue", kModuleFile, "MinimumKBFree=lots\r\n", kDefault, kDefaultText, ""},
};

// SaveINI with 700 over a file in the module folder: the one place the module
// rewrites a file that holds data. The key is on the second line, so that a
// text read only in part differs from every whole text.
const Start kRewrite = {"RewriteOfTheFile",
                        kModuleFile,
                        "Other=1234\r\nMinimumKBFree=12345\r\n",
                        0,
                        "MinimumKBFree=700\r\n",
                        "Other=1234\r\nMinimumKBFree=700\r\n"};

// The windows a save keeps open: the firmware offers no way to replace a file
// in one step, and the module can only believe what it answers.
enum Window {
  kNone,
  kDeletedNotWritten,  // the old file deleted, then the new one not written
  kWrittenOverHead,    // the old file not deleted, the new text written over its head
  kTakenForAbsent,     // the file reported absent, replaced by a text made from nothing
  kWindows
};

struct Tally {
  int starts = 0, calls = 0, reruns = 0, failed = 0;
  int windows[kWindows] = {};
  std::string line() const {
    return std::to_string(calls) + " calls, " + std::to_string(reruns) + " of them can fail (one way each), " +
           std::to_string(reruns) + " reruns, " +
           (failed ? std::to_string(failed) + " failed" : std::string("all held")) +
           "; old file deleted, new one not written: " + std::to_string(windows[kDeletedNotWritten]) +
           "; old file not deleted, written over its head: " + std::to_string(windows[kWrittenOverHead]) +
           "; file reported absent, replaced: " + std::to_string(windows[kTakenForAbsent]);
  }
  void add(const Tally& t) {
    starts += t.starts;
    calls += t.calls;
    reruns += t.reruns;
    failed += t.failed;
    for (int w = 0; w < kWindows; ++w) windows[w] += t.windows[w];
  }
};

// Whether the trace holds a call of ENTRY on the file NAME that answered
// RESULT, with or without a fault.
bool traced(const std::string& entry, const std::string& name, int64_t result, bool fault) {
  const auto& trace = sim::firmware().trace();
  return std::any_of(trace.begin(), trace.end(), [&](const sim::FirmwareCall& call) {
    return call.entry == entry && call.stringArg() == name && call.resultValue() == result && call.fault == fault;
  });
}

class FaultSweep : public DeviceTest {
 protected:
  // Every regular file of the disk and its bytes.
  std::map<std::string, std::string> diskFiles() const {
    std::map<std::string, std::string> files;
    const fs::path disk = hostPath("");
    for (const auto& item : fs::recursive_directory_iterator(disk))
      if (item.is_regular_file()) {
        const std::string path = "/" + fs::relative(item.path(), disk).string();
        files[path] = *readFile(path);
      }
    return files;
  }

  void prepare(const Start& start) {
    if (start.file.empty()) return;
    makeDir(start.file.substr(0, start.file.rfind('/')));
    writeFile(start.file, start.bytes);
  }

  // Checks everything a run must leave, naming the run RUN in failures;
  // answers whether it held and which window, if any, it fell into.
  std::pair<bool, Window> checkRun(const Start& start, const std::map<std::string, std::string>& before,
                                   const std::string& run) {
    bool held = true;
    Window window = kNone;
    auto check = [&](bool ok, const std::string& what) {
      if (!ok) {
        ADD_FAILURE() << run << ": " << what;
        held = false;
      }
    };
    const sim::MemoryStats memory = fw().memory();
    check(memory.liveBlocks == 0, std::to_string(memory.liveBlocks) + " heap blocks still live");
    check(memory.badFrees == 0, std::to_string(memory.badFrees) + " frees of no live block");
    check(MODULE_VAR(TAPDirStackDepth) == -1, "stack depth " + std::to_string(MODULE_VAR(TAPDirStackDepth)));
    check(fw().openFiles() == 0, std::to_string(fw().openFiles()) + " files left open");

    if (start.value != 0) {
      const int32_t value = MODULE_VAR(MinimumKBFree);
      check(value == start.value || value == kDefault, "applied " + std::to_string(value));
      check(value >= 100 && value <= 50000, "value out of range");
      check(commands() == std::vector<std::string>{command(value)}, std::to_string(commands().size()) + " commands");
      check(kernelSetting() == std::to_string(value) + "\n", "kernel setting " + kernelSetting());
    }

    const std::map<std::string, std::string> after = diskFiles();
    for (const auto& [path, bytes] : after) {
      auto old = before.find(path);
      const std::string name = fs::path(path).filename();
      if (old == before.end()) {
        check(name == kSettingsName && bytes == start.fresh, "left " + path + " holding \"" + bytes + "\"");
        continue;
      }
      const std::string& was = old->second;
      if (bytes == was || (!start.updated.empty() && bytes == start.updated)) continue;
      if (bytes == start.fresh && traced("TAP_Hdd_Exist", name, 0, true)) {
        window = kTakenForAbsent;
        continue;
      }
      bool overHead = false;
      for (const std::string& text : {start.fresh, start.updated})
        overHead |= !text.empty() && text.size() < was.size() && bytes == text + was.substr(text.size());
      overHead &= traced("TAP_Hdd_Delete", name, 0, true);
      if (overHead) window = kWrittenOverHead;
      check(overHead, path + " holds \"" + bytes + "\", neither its old bytes nor a whole new text");
    }
    for (const auto& [path, bytes] : before) {
      if (after.count(path)) continue;
      const bool deleted = traced("TAP_Hdd_Delete", fs::path(path).filename(), 1, false);
      if (deleted) window = kDeletedNotWritten;
      check(deleted, path + " is gone");
    }
    return {held, window};
  }

  // Records RUN's firmware calls without faults, then reruns it on a fresh
  // disk with a fresh module once for every call that can fail, with that
  // call failing.
  template <class Run>
  Tally sweep(const Start& start, Run run) {
    Tally tally;
    prepare(start);
    const auto original = diskFiles();
    run();
    if (!checkRun(start, original, std::string(start.name) + " without faults").first) {
      ++tally.failed;
      return tally;
    }
    const std::vector<sim::FirmwareCall> recorded = fw().trace();

    std::map<std::string, uint32_t> seen;
    for (size_t k = 0; k < recorded.size(); ++k) {
      const std::string& entry = recorded[k].entry;
      const uint32_t nth = ++seen[entry];
      if (!kFailingEntries.count(entry)) continue;
      boot(config());
      prepare(start);
      const auto before = diskFiles();
      fw().failCall(entry, nth);
      run();
      const std::string label =
          std::string(start.name) + ", call " + std::to_string(k) + " " + sim::text(recorded[k]) + " failing";
      // The calls before the fault are those recorded, so the fault hit the call meant.
      const std::vector<sim::FirmwareCall>& trace = fw().trace();
      const bool hit = trace.size() > k && std::equal(recorded.begin(), recorded.begin() + k, trace.begin()) &&
                       trace[k].fault;
      EXPECT_TRUE(hit) << label << ": the fault missed its call";
      const auto [held, window] = checkRun(start, before, label);
      ++tally.reruns;
      tally.failed += !(held && hit);
      ++tally.windows[window];
    }
    tally.starts = 1;
    tally.calls = static_cast<int>(recorded.size());
    printf("fault sweep, %s: %s\n", start.name, tally.line().c_str());
    return tally;
  }
};

class StartSweep : public FaultSweep, public ::testing::WithParamInterface<Start> {
 protected:
  static Tally& total() {
    static Tally t;
    return t;
  }
  static void TearDownTestSuite() {
    const Tally& t = total();
    if (t.starts > 0) printf("fault sweep: %d starts, %s\n", t.starts, t.line().c_str());
  }
};

TEST_P(StartSweep, EveryFailingCallLeavesTheRunWhole) {
  const Tally t = sweep(GetParam(), [this] { EXPECT_EQ(MODULE_FN(TAP_Main)(), 0); });
  EXPECT_EQ(t.failed, 0);
  total().add(t);
}

INSTANTIATE_TEST_SUITE_P(Starts, StartSweep, ::testing::ValuesIn(kStarts),
                         [](const ::testing::TestParamInfo<Start>& info) { return std::string(info.param.name); });

TEST_F(FaultSweep, EveryFailingCallOfARewriteLeavesTheFileWholeOrInANamedWindow) {
  const Tally t = sweep(kRewrite, [this] {
    MODULE_VAR(MinimumKBFree) = 700;
    MODULE_FN(SaveINI)();
  });
  EXPECT_EQ(t.failed, 0);
}

// The faults the sweep found, each kept as a case of its own.
class SettingsUnderFaults : public DeviceTest {
 protected:
  void runMain() { ASSERT_EQ(MODULE_FN(TAP_Main)(), 0); }
};

TEST_F(SettingsUnderFaults, ReadFailingPartWayAppliesTheDefaultNotAValueCutShort) {
  const std::string text = "MinimumKBFree=12345\r\nOther=1234\r\n";
  makeDir("/ProgramFiles/Settings/Steadyflow");
  writeFile(kModuleFile, text);
  fw().failCall("TAP_Hdd_Fread", 1);  // delivers "MinimumKBFree=12"
  runMain();
  EXPECT_EQ(commands(), std::vector<std::string>{command(kDefault)});
  EXPECT_EQ(readFile(kModuleFile), text);
}

TEST_F(SettingsUnderFaults, FileMissedByTheFirstLookIsReadNotOverwritten) {
  const std::string text = "MinimumKBFree=500\r\n";
  makeDir("/ProgramFiles/Settings/Steadyflow");
  writeFile(kModuleFile, text);
  fw().failCall("TAP_Hdd_ChangeDir", 5);  // LoadINI's change to the module folder
  runMain();
  ASSERT_EQ(sim::text(calls("TAP_Hdd_ChangeDir")[4]), R"(TAP_Hdd_ChangeDir("/ProgramFiles/Settings/Steadyflow") = -1 [fault])");
  EXPECT_EQ(commands(), std::vector<std::string>{command(500)});
  EXPECT_EQ(readFile(kModuleFile), text);
  EXPECT_TRUE(calls("TAP_Hdd_Delete").empty());

  // A file in the settings folder that an existence test missed is not
  // shadowed by a new one with the default in the module folder.
  boot(config());
  makeDir("/ProgramFiles/Settings");
  writeFile(kSettingsFolderFile, "MinimumKBFree=700\r\n");
  fw().failCall("TAP_Hdd_Exist", 5);
  runMain();
  ASSERT_EQ(sim::text(calls("TAP_Hdd_Exist")[4]), R"(TAP_Hdd_Exist("Steadyflow.ini") = 0 [fault])");
  EXPECT_EQ(commands(), std::vector<std::string>{command(700)});
  EXPECT_FALSE(exists(kModuleFile));
}

TEST_F(SettingsUnderFaults, SaveAfterAReadFailingPartWayLeavesTheFile) {
  const std::string text = "Other=1234\r\nMinimumKBFree=12345\r\n";
  makeDir("/ProgramFiles/Settings/Steadyflow");
  writeFile(kModuleFile, text);
  MODULE_VAR(MinimumKBFree) = 700;
  fw().failCall("TAP_Hdd_Fread", 1);
  MODULE_FN(SaveINI)();
  EXPECT_EQ(readFile(kModuleFile), text);
  EXPECT_TRUE(calls("TAP_Hdd_Delete").empty());

  MODULE_FN(SaveINI)();
  EXPECT_EQ(readFile(kModuleFile), "Other=1234\r\nMinimumKBFree=700\r\n");
}

}  // namespace
