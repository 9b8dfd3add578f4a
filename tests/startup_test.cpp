// The module's whole job at start-up: folders, settings file, the command
// that applies the value, and the line on the terminal.
#include <gmock/gmock.h>

#include "SteadyflowTest.h"
#include "harness.h"

namespace {

using testing::ElementsAreArray;

const std::string kModuleFolder = "/ProgramFiles/Settings/Steadyflow";
const std::string kSettings = kModuleFolder + "/Steadyflow.ini";

std::string command(int value) { return "echo " + std::to_string(value) + " > /proc/sys/vm/min_free_kbytes"; }

class StartupRun : public DeviceTest {
 protected:
  int32_t runMain() { return MODULE_FN(TAP_Main)(); }
  // Runs the module with a settings file holding TEXT at PATH; answers the
  // value applied and checks the file was left as it was.
  int applied(const std::string& text, const std::string& path = kSettings) {
    makeDir(path.substr(0, path.rfind('/')));
    writeFile(path, text);
    EXPECT_EQ(runMain(), 0);
    EXPECT_EQ(readFile(path), text) << "the file is not rewritten";
    EXPECT_EQ(commands().size(), 1u);
    if (commands().size() != 1) return -1;
    return std::stoi(commands()[0].substr(5));
  }
};

TEST_F(StartupRun, FirstRunFollowsTheTraceCallForCall) {
  ASSERT_EQ(runMain(), 0);
  const std::string changeToModule = R"(TAP_Hdd_ChangeDir("/ProgramFiles/Settings/Steadyflow") = 0)";
  const std::vector<std::string> openNew = {
      R"(TAP_Hdd_Exist("Steadyflow.ini") = 0)",
      R"(TAP_Hdd_ChangeDir("/ProgramFiles") = 0)",
      R"(TAP_Hdd_Exist("Steadyflow.ini") = 0)",
      R"(TAP_Hdd_ChangeDir("Settings") = 0)",
      R"(TAP_Hdd_Exist("Steadyflow.ini") = 0)",
      changeToModule,  // back where the search began
      changeToModule,  // the pop
  };
  std::vector<std::string> expected = {
      // CreateRootDir: the first change learns the success value
      R"(TAP_Hdd_ChangeDir("/ProgramFiles") = 0)",
      R"(TAP_Hdd_ChangeDir("/ProgramFiles") = 0)",
      R"(TAP_Hdd_Exist("Settings") = 0)",
      R"(TAP_Hdd_Create("Settings", 0xE0) = 1)",
      R"(TAP_Hdd_ChangeDir("Settings") = 0)",
      R"(TAP_Hdd_Exist("Steadyflow") = 0)",
      R"(TAP_Hdd_Create("Steadyflow", 0xE0) = 1)",
      R"(TAP_Hdd_ChangeDir("/") = 0)",
      // LoadINI
      changeToModule,
  };
  expected.insert(expected.end(), openNew.begin(), openNew.end());
  for (const char* line : {"TAP_MemAlloc(512) = #1", "TAP_MemSet(#1, 0, 512)", "TAP_MemFree(#1)"})
    expected.push_back(line);
  // LoadINI found no file: its second look, from the module folder, and its
  // save of the default there
  expected.push_back(changeToModule);
  expected.insert(expected.end(), openNew.begin(), openNew.end());
  for (const char* line : {
           "TAP_MemAlloc(512) = #2",
           "TAP_MemSet(#2, 0, 512)",
           R"(TAP_SPrint("%d") -> "10000")",
           R"(TAP_Hdd_Delete("Steadyflow.ini") = 0)",
           R"(TAP_Hdd_Create("Steadyflow.ini", 0xD0) = 1)",
           R"(TAP_Hdd_Fopen("Steadyflow.ini") = @1)",
           "TAP_Hdd_Fwrite(#2, 21, 1, @1) = 1",
           "TAP_Hdd_Fclose(@1)",
       })
    expected.push_back(line);
  expected.push_back(changeToModule);
  for (const char* line : {
           "TAP_MemFree(#2)",
           R"(TAP_SPrint("echo %d > /proc/sys/vm/min_free_kbytes") -> "echo 10000 > /proc/sys/vm/min_free_kbytes")",
           R"(TAP_SPrint("%s\n") -> "echo 10000 > /proc/sys/vm/min_free_kbytes\n")",
           R"(TAP_SPrint("/dev/pts/%d") -> "/dev/pts/0")",
       })
    expected.push_back(line);
  EXPECT_THAT(sim::record::lines(fw().trace()), ElementsAreArray(expected));
}

TEST_F(StartupRun, FirstRunLeavesFoldersFileTerminalAndCommand) {
  ASSERT_EQ(runMain(), 0);
  EXPECT_EQ(readFile(kSettings), "MinimumKBFree=10000\r\n");
  EXPECT_EQ(readFile(kSettings)->size(), 21u);
  EXPECT_EQ(terminal(0), command(10000) + "\n" + std::string(1, '\0'));
  EXPECT_EQ(terminal(0).size(), 43u);
  EXPECT_EQ(commands(), std::vector<std::string>{command(10000)});
  EXPECT_EQ(kernelSetting(), "10000\n");
  EXPECT_EQ(MODULE_VAR(MinimumKBFree), 10000);
  EXPECT_EQ(std::string(MODULE_VAR(puffer)), command(10000) + "\n");
  EXPECT_EQ(fw().currentDir(), kModuleFolder);
  EXPECT_EQ(fw().memory().liveBlocks, 0u);
  EXPECT_EQ(fw().openFiles(), 0u);
}

// A settings file the run finds, wherever the search finds it: its value
// applied, held within the limits, the file kept, no other file made, and
// only the folders on the way to the module folder that were missing made.
TEST_F(StartupRun, AppliesTheFileItFindsAndKeepsIt) {
  const struct {
    const char* name;
    std::string path, text;
    int applied;
    std::vector<std::string> madeFolders;
  } cases[] = {
      {"value within the limits", kSettings, "MinimumKBFree=500\r\n", 500, {}},
      {"key in any case", kSettings, "minimumkbfree=500\r\n", 500, {}},
      {"too low becomes the lowest", kSettings, "MinimumKBFree=50\r\n", 100, {}},
      {"too high becomes the highest", kSettings, "MinimumKBFree=50001\r\n", 50000, {}},
      {"letters give the default", kSettings, "MinimumKBFree=lots\r\n", 10000, {}},
      {"other keys only give the default", kSettings, "Other=1\r\nMore=2\r\n", 10000, {}},
      {"file in the settings folder",
       "/ProgramFiles/Settings/Steadyflow.ini",
       "MinimumKBFree=700\r\n",
       700,
       {"Steadyflow"}},
      {"file in ProgramFiles",
       "/ProgramFiles/Steadyflow.ini",
       "MinimumKBFree=800\r\n",
       800,
       {"Settings", "Steadyflow"}},
      {"existing folders are not made again", kSettings, "MinimumKBFree=900\r\n", 900, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    boot(config());
    EXPECT_EQ(applied(c.text, c.path), c.applied);
    EXPECT_EQ(exists(kSettings), c.path == kSettings);
    EXPECT_TRUE(exists(kModuleFolder));
    std::vector<std::string> made;
    for (const sim::FirmwareCall& call : calls("TAP_Hdd_Create")) made.push_back(call.stringArg());
    EXPECT_EQ(made, c.madeFolders);
  }
}

TEST_F(StartupRun, OnlySettingsExisting) {
  makeDir("/ProgramFiles/Settings");
  ASSERT_EQ(runMain(), 0);
  EXPECT_EQ(sim::record::lines(calls("TAP_Hdd_Create")), (std::vector<std::string>{
                                         R"(TAP_Hdd_Create("Steadyflow", 0xE0) = 1)",
                                         R"(TAP_Hdd_Create("Steadyflow.ini", 0xD0) = 1)",
                                     }));
  EXPECT_EQ(readFile(kSettings), "MinimumKBFree=10000\r\n");
}

TEST_F(StartupRun, ModuleFolderThatCannotBeEnteredTakesTheFileWhereverCurrent) {
  // A plain file where the module folder should be: it can be neither created
  // nor entered, so the new file goes to the directory current then.
  makeDir("/ProgramFiles/Settings");
  writeFile(kModuleFolder, "in the way");
  ASSERT_EQ(runMain(), 0);
  EXPECT_EQ(readFile("/Steadyflow.ini"), "MinimumKBFree=10000\r\n");
  EXPECT_EQ(readFile(kModuleFolder), "in the way");
  EXPECT_EQ(commands(), std::vector<std::string>{command(10000)});
}

TEST_F(StartupRun, SecondRunFindsTheFileAndChangesNothing) {
  ASSERT_EQ(runMain(), 0);
  restart();
  ASSERT_EQ(runMain(), 0);
  EXPECT_EQ(readFile(kSettings), "MinimumKBFree=10000\r\n");
  EXPECT_TRUE(calls("TAP_Hdd_Create").empty());
  EXPECT_TRUE(calls("TAP_Hdd_Fwrite").empty());
  EXPECT_EQ(commands(), (std::vector<std::string>{command(10000), command(10000)}));
}

}  // namespace
