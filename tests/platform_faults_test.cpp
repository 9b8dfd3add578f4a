// The start-up run on a platform that lacks something: no pseudo-terminal, a
// `system` that fails, no task data, no UTF-8 routine, a current directory
// that cannot be read or is too long to keep. The run still completes and
// runs the command once with the right value.
#include "SteadyflowTest.h"
#include "harness.h"
#include "helpers.h"
#include "platform.h"

namespace {

const std::string kModuleFolder = "/ProgramFiles/Settings/Steadyflow";
const std::string kSettings = kModuleFolder + "/Steadyflow.ini";
const std::string kValueFile = "MinimumKBFree=500\r\n";
const std::string kDefaultFile = "MinimumKBFree=10000\r\n";
// 214 characters: more than a 200-byte directory buffer holds.
const std::string kLongDir = "/" + std::string(70, 'a') + "/" + std::string(70, 'b') + "/" + std::string(70, 'c');

std::string command(int value) { return "echo " + std::to_string(value) + " > /proc/sys/vm/min_free_kbytes"; }

class PlatformFault : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    prepareRun();
  }
  // What a fixture does to the platform after each boot or restart.
  virtual void prepareRun() {}

  // Runs the module once and checks it completed tidy and ran the command
  // for VALUE exactly once.
  void expectRunApplies(int value) {
    sim::platform::clear();
    EXPECT_EQ(MODULE_FN(TAP_Main)(), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{command(value)});
    EXPECT_EQ(MODULE_VAR(MinimumKBFree), value);
    EXPECT_EQ(MODULE_VAR(TAPDirStackDepth), -1);
    EXPECT_EQ(fw().memory().liveBlocks, 0u);
    EXPECT_EQ(fw().memory().badFrees, 0u);
    EXPECT_EQ(fw().openFiles(), 0u);
  }
  // A settings file with 500 is applied and left as it was. On a bare disk
  // the default is applied and written once; given another value, that file
  // is what the next start applies.
  void expectBothStartsApply() {
    makeDir(kModuleFolder);
    writeFile(kSettings, kValueFile);
    expectRunApplies(500);
    EXPECT_EQ(readFile(kSettings), kValueFile);

    boot(config());
    prepareRun();
    expectRunApplies(10000);
    const std::vector<std::string> written = defaultFiles();
    ASSERT_EQ(written.size(), 1u);
    writeFile(written[0], "MinimumKBFree=600\r\n");
    restart();
    prepareRun();
    expectRunApplies(600);
    EXPECT_TRUE(calls("TAP_Hdd_Fwrite").empty());
  }
  // The settings files on the disk that hold the default.
  std::vector<std::string> defaultFiles() const {
    std::vector<std::string> found;
    for (const std::string& dir :
         {std::string(), std::string("/ProgramFiles"), std::string("/ProgramFiles/Settings"), kModuleFolder, kLongDir})
      if (readFile(dir + "/Steadyflow.ini") == kDefaultFile) found.push_back(dir + "/Steadyflow.ini");
    return found;
  }
};

class NoTerminal : public PlatformFault {
  DeviceConfig config() const override {
    DeviceConfig c;
    c.terminals = {};
    return c;
  }
};

TEST_F(NoTerminal, RunAppliesTheValue) {
  expectBothStartsApply();
  EXPECT_EQ(kernelSetting(), "600\n");
}

class SystemFailing : public PlatformFault {
  void prepareRun() override { failShell(); }
};

TEST_F(SystemFailing, RunStillRunsTheCommandOnceAndShowsIt) {
  makeDir(kModuleFolder);
  writeFile(kSettings, kValueFile);
  expectRunApplies(500);
  EXPECT_EQ(kernelSetting(), "") << "the shell never ran";
  EXPECT_EQ(terminal(0), command(500) + "\n" + std::string(1, '\0'));
}

class NoTaskData : public PlatformFault {
  DeviceConfig config() const override {
    DeviceConfig c;
    c.taskTable = false;
    return c;
  }
};

TEST_F(NoTaskData, RunAppliesTheValue) { expectBothStartsApply(); }

class NoUtf8Routine : public PlatformFault {
  DeviceConfig config() const override {
    DeviceConfig c;
    c.utf8Routine = false;
    return c;
  }
};

TEST_F(NoUtf8Routine, RunAppliesTheValue) { expectBothStartsApply(); }

// The current task's entry as the firmware data library holds it; the
// library is loaded afresh at every boot, so nothing needs putting back.
TapDirRecord*& currentRecord() {
  const auto task = sim::Session::current().taskData();
  return task.table[*task.index].dirRecord;
}

class TaskWithoutRecord : public PlatformFault {
  void prepareRun() override { currentRecord() = nullptr; }
};

TEST_F(TaskWithoutRecord, RunAppliesTheValue) { expectBothStartsApply(); }

class RecordWithoutString : public PlatformFault {
  void prepareRun() override { currentRecord()->directory = nullptr; }
};

TEST_F(RecordWithoutString, RunAppliesTheValue) { expectBothStartsApply(); }

class OverlongCurrentDir : public PlatformFault {
  void prepareRun() override {
    makeDir(kLongDir);
    ASSERT_TRUE(fw().setCurrentDir(kLongDir));
  }
};

TEST_F(OverlongCurrentDir, RunAppliesTheValue) {
  ASSERT_GT(kLongDir.size(), 199u);
  expectBothStartsApply();
}

}  // namespace
