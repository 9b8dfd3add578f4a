// The start-up run under faults of the firmware and of the platform. Each
// start is swept (fault_sweep.h) on each platform of a table: the whole one,
// and ones lacking a terminal, a working shell, task data, the UTF-8
// routine, a directory record or string, or room for the current directory.
// Every run must finish tidy, apply a sane value exactly once (the file's own
// when nothing fails), show it on the terminal, and leave each settings file
// as it was, whole and new, or in one of the named windows a save cannot
// close; those are counted. A rewrite of a file by SaveINI is swept too.
// Each sweep prints its totals.
#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "SteadyflowTest.h"
#include "harness.h"
#include "helpers.h"

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

const std::string kSettingsName = "Steadyflow.ini";
const std::string kModuleFile = "/ProgramFiles/Settings/Steadyflow/Steadyflow.ini";
const std::string kSettingsFolderFile = "/ProgramFiles/Settings/Steadyflow.ini";
const std::string kDefaultText = "MinimumKBFree=10000\r\n";
constexpr int32_t kDefault = 10000;
// 214 characters: more than a 200-byte directory buffer holds.
const std::string kLongDir = "/" + std::string(70, 'a') + "/" + std::string(70, 'b') + "/" + std::string(70, 'c');

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

void PrintTo(const Start& start, std::ostream* out) { *out << start.name; }

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
const std::string kDeletedNotWritten = "old file deleted, new one not written";
const std::string kWrittenOverHead = "old file not deleted, written over its head";
const std::string kTakenForAbsent = "file reported absent, replaced";

// What the platform lacks, and how it is taken away.
enum class Lack { Nothing, Terminal, Shell, TaskData, Utf8Routine, DirRecord, DirString, RoomForTheDir };
struct Platform {
  const char* name;
  Lack lack;
};
const Platform kPlatforms[] = {
    {"WholePlatform", Lack::Nothing},       {"NoTerminal", Lack::Terminal},
    {"SystemFailing", Lack::Shell},         {"NoTaskData", Lack::TaskData},
    {"NoUtf8Routine", Lack::Utf8Routine},   {"TaskWithoutRecord", Lack::DirRecord},
    {"RecordWithoutString", Lack::DirString}, {"OverlongCurrentDir", Lack::RoomForTheDir},
};

void PrintTo(const Platform& platform, std::ostream* out) { *out << platform.name; }

// Whether the trace holds a call of ENTRY on the file NAME that answered
// RESULT, with or without a fault.
bool traced(const std::string& entry, const std::string& name, int64_t result, bool fault) {
  const auto& trace = sim::firmware().trace();
  return std::any_of(trace.begin(), trace.end(), [&](const sim::FirmwareCall& call) {
    return call.entry == entry && call.stringArg() == name && call.resultValue() == result && call.fault == fault;
  });
}

// The current task's entry as the firmware data library holds it; the
// library is loaded afresh at every boot, so nothing needs putting back.
TapDirRecord*& currentRecord() {
  const auto task = sim::Session::current().taskData();
  return task.table[*task.index].dirRecord;
}

// Sweeps a run from a start on the platform lack() names, and checks what
// each run leaves.
class SettingsSweep : public DeviceTest {
 protected:
  virtual Lack lack() const { return Lack::Nothing; }
  DeviceConfig config() const override {
    DeviceConfig c;
    if (lack() == Lack::Terminal) c.terminals = {};
    c.taskTable = lack() != Lack::TaskData;
    c.utf8Routine = lack() != Lack::Utf8Routine;
    return c;
  }
  // What config() cannot take away, taken after each boot or restart.
  void breakPlatform() {
    switch (lack()) {
      case Lack::Shell: failShell(); break;
      case Lack::DirRecord: currentRecord() = nullptr; break;
      case Lack::DirString: currentRecord()->directory = nullptr; break;
      case Lack::RoomForTheDir:
        ASSERT_GT(kLongDir.size(), 199u);
        makeDir(kLongDir);
        ASSERT_TRUE(fw().setCurrentDir(kLongDir));
        break;
      default: break;
    }
  }

  // Every regular file of the disk and its bytes.
  Files diskFiles() const {
    Files files;
    const fs::path disk = hostPath("");
    for (const auto& item : fs::recursive_directory_iterator(disk))
      if (item.is_regular_file()) {
        const std::string path = "/" + fs::relative(item.path(), disk).string();
        files[path] = *readFile(path);
      }
    return files;
  }

  // Sweeps RUN from START on this platform.
  SweepCounts sweep(const Start& start, const std::function<void()>& run) {
    Files before;
    auto prepare = [&] {
      breakPlatform();
      if (!start.file.empty()) {
        makeDir(start.file.substr(0, start.file.rfind('/')));
        writeFile(start.file, start.bytes);
      }
      before = diskFiles();
    };
    return sweepFaults({prepare, run, [&](const SweptCall& failing) { return checkRun(start, before, failing); }});
  }

  // Checks everything a run must leave; answers the window it fell into.
  std::string checkRun(const Start& start, const Files& before, const SweptCall& failing) {
    expectTidy();
    if (start.value != 0) {
      const int32_t value = MODULE_VAR(MinimumKBFree);
      if (failing.entry.empty()) {
        EXPECT_EQ(value, start.value);
      }
      EXPECT_TRUE(value == start.value || value == kDefault) << "applied " << value;
      EXPECT_TRUE(value >= 100 && value <= 50000) << "value out of range";
      EXPECT_EQ(commands(), std::vector<std::string>{command(value)});
      EXPECT_EQ(kernelSetting(), lack() == Lack::Shell ? "" : std::to_string(value) + "\n");
      if (lack() != Lack::Terminal) {
        EXPECT_EQ(terminal(0), command(value) + "\n" + std::string(1, '\0'));
      }
    }

    std::string window;
    const Files after = diskFiles();
    int made = 0;
    for (const auto& [path, bytes] : after) {
      auto old = before.find(path);
      const std::string name = fs::path(path).filename();
      if (old == before.end()) {
        EXPECT_TRUE(name == kSettingsName && bytes == start.fresh) << "left " << path << " holding \"" << bytes << "\"";
        ++made;
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
      EXPECT_TRUE(overHead) << path << " holds \"" << bytes << "\", neither its old bytes nor a whole new text";
    }
    EXPECT_LE(made, 1) << "settings files written";
    // Without faults a bare disk gets one file, where the starts with a file
    // find it: the module folder, or the settings folder when the current
    // directory cannot be read; a start that finds a file writes nothing.
    if (failing.entry.empty() && start.value != 0) {
      EXPECT_EQ(made, start.file.empty() ? 1 : 0);
      if (start.file.empty())
        EXPECT_TRUE(after.count(kModuleFile) || after.count(kSettingsFolderFile)) << ::testing::PrintToString(after);
      else
        EXPECT_TRUE(calls("TAP_Hdd_Fwrite").empty());
    }
    for (const auto& [path, bytes] : before) {
      if (after.count(path)) continue;
      const bool deleted = traced("TAP_Hdd_Delete", fs::path(path).filename(), 1, false);
      if (deleted) window = kDeletedNotWritten;
      EXPECT_TRUE(deleted) << path << " is gone";
    }
    return window;
  }
};

class StartSweep : public SettingsSweep, public ::testing::WithParamInterface<std::tuple<Platform, Start>> {
 protected:
  Lack lack() const override { return std::get<0>(GetParam()).lack; }
  static SweepCounts& total() {
    static SweepCounts t;
    return t;
  }
  static void TearDownTestSuite() {
    if (total().calls > 0) printf("fault sweep, every start on every platform: %s\n", total().line().c_str());
  }
};

TEST_P(StartSweep, EveryFailingCallLeavesTheRunWhole) {
  const auto& [platform, start] = GetParam();
  const SweepCounts counts = sweep(start, [this] { EXPECT_EQ(MODULE_FN(TAP_Main)(), 0); });
  printf("fault sweep, %s on %s: %s\n", start.name, platform.name, counts.line().c_str());
  EXPECT_EQ(counts.failed, 0);
  EXPECT_GT(counts.runs, 0);
  total() += counts;
}

INSTANTIATE_TEST_SUITE_P(Platforms, StartSweep,
                         ::testing::Combine(::testing::ValuesIn(kPlatforms), ::testing::ValuesIn(kStarts)),
                         [](const ::testing::TestParamInfo<std::tuple<Platform, Start>>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

TEST_F(SettingsSweep, EveryFailingCallOfARewriteLeavesTheFileWholeOrInANamedWindow) {
  const SweepCounts counts = sweep(kRewrite, [this] {
    MODULE_VAR(MinimumKBFree) = 700;
    MODULE_FN(SaveINI)();
  });
  printf("fault sweep, %s: %s\n", kRewrite.name, counts.line().c_str());
  EXPECT_EQ(counts.failed, 0);
}

// A fault or a count that names no entry of the firmware (a misspelling),
// or a fault on an entry that cannot fail, fails at once: a test or a sweep
// that named it would otherwise inject nothing, find nothing and pass.
using FaultNames = DeviceTest;

TEST_F(FaultNames, ThatNameNoFailingEntryFailAtOnce) {
  for (const char* name : {"TAP_Hdd_Fred", "tap_hdd_fread", "TAP_Hdd_Fread ", ""}) {
    EXPECT_THROW(fw().failCall(name, 1), std::invalid_argument) << name;
    EXPECT_THROW(fw().callCount(name), std::invalid_argument) << name;
    EXPECT_THROW(calls(name), std::invalid_argument) << name;
  }
  EXPECT_THROW(fw().failCall("TAP_MemFree", 1), std::invalid_argument);
  EXPECT_FALSE(fw().canFail("TAP_MemFree"));
  EXPECT_TRUE(fw().canFail("TAP_Hdd_Fread"));
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
  ASSERT_EQ(sim::record::text(calls("TAP_Hdd_ChangeDir")[4]),
            R"(TAP_Hdd_ChangeDir("/ProgramFiles/Settings/Steadyflow") = -1 [fault])");
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
  ASSERT_EQ(sim::record::text(calls("TAP_Hdd_Exist")[4]), R"(TAP_Hdd_Exist("Steadyflow.ini") = 0 [fault])");
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
