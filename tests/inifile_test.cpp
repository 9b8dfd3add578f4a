// Finding, loading, saving and closing INI files on the disk.

#include <map>
#include <optional>

#include "harness.h"
#include "helpers.h"
#include "tap.h"

namespace {

const char kName[] = "Test.ini";

class IniFile : public DeviceTest {
 protected:
  INILOCATION locate(const char* name = kName, const char* app = nullptr) {
    return MODULE_FN(INILocateFile)(name, app);
  }
  INILOCATION open(const char* name = kName, const char* app = nullptr) { return MODULE_FN(INIOpenFile)(name, app); }
  int32_t save(uint32_t mode, const char* app = nullptr, const char* name = kName) {
    return MODULE_FN(INISaveFile)(name, static_cast<INILOCATION>(mode), app);
  }
  void close() { MODULE_FN(INICloseFile)(); }
  std::string text() { return MODULE_VAR(INIBuffer) ? std::string(MODULE_VAR(INIBuffer)) : "(none)"; }
  uint32_t capacity() { return MODULE_VAR(BufferSize); }
  void enter(const std::string& dir) {
    makeDir(dir);
    ASSERT_TRUE(fw().setCurrentDir(dir));
  }
};

TEST_F(IniFile, CurrentDirectoryEndsTheSearch) {
  enter("/Work");
  writeFile("/Work/Test.ini", "a=1\r\n");
  makeDir("/ProgramFiles/Settings");
  writeFile("/ProgramFiles/Settings/Test.ini", "a=2\r\n");
  EXPECT_EQ(locate(), INILOCATION_AtCurrentDir);
  EXPECT_EQ(fw().currentDir(), "/Work");
  EXPECT_TRUE(calls("TAP_Hdd_ChangeDir").empty());
}

TEST_F(IniFile, LastStandardFolderHoldingTheFileWins) {
  enter("/Work");
  makeDir("/ProgramFiles/Settings/App");
  writeFile("/ProgramFiles/Test.ini", "a=1\r\n");
  writeFile("/ProgramFiles/Settings/Test.ini", "a=2\r\n");
  EXPECT_EQ(locate(), INILOCATION_AtSettings);
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/Settings");

  ASSERT_TRUE(fw().setCurrentDir("/Work"));
  EXPECT_EQ(locate(kName, "App"), INILOCATION_AtSettings) << "the subfolder does not hold it";
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/Settings");

  writeFile("/ProgramFiles/Settings/App/Test.ini", "a=3\r\n");
  ASSERT_TRUE(fw().setCurrentDir("/Work"));
  EXPECT_EQ(locate(kName, "App"), INILOCATION_AtAppName);
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/Settings/App");
}

TEST_F(IniFile, NotFoundReturnsToTheDirectoryOfTheCall) {
  enter("/Work");
  makeDir("/ProgramFiles/Settings/App");
  writeFile("/ProgramFiles/Settings/App/Test.ini", "a=3\r\n");
  EXPECT_EQ(locate(kName, "/ProgramFiles/Settings/App"), INILOCATION_NotFound)
      << "a subfolder beginning with / is ignored";
  EXPECT_EQ(locate(nullptr), INILOCATION_NotFound);
  EXPECT_EQ(fw().currentDir(), "/Work");
}

TEST_F(IniFile, OpenLoadsTheFileAndRestoresTheDirectory) {
  enter("/Work");
  writeFile("/ProgramFiles/Test.ini", "Key=5\r\n");
  EXPECT_EQ(open(), INILOCATION_AtProgramFiles);
  EXPECT_EQ(text(), "Key=5\r\n");
  EXPECT_EQ(fw().currentDir(), "/Work");
  expectTidy(1);
  close();
  expectTidy();
}

TEST_F(IniFile, CapacityFollowsTheFileLength) {
  for (const auto& [length, expected] : std::vector<std::pair<size_t, uint32_t>>{
           {0, 1024}, {511, 1024}, {512, 1536}, {1000, 1536}, {1024, 2048}}) {
    writeFile("/Test.ini", std::string(length, 'x'));
    open();
    EXPECT_EQ(capacity(), expected) << "length " << length;
    close();
  }
}

// A file loads as its text up to its first zero byte, CR LF added where the
// last line has no line end, and saves back as it loaded.
TEST_F(IniFile, LoadsTheTextUpToItsZeroByteEndedByALineEnd) {
  const struct {
    const char* name;
    std::string bytes, text;
  } cases[] = {
      {"empty file", "", "\r\n"},
      {"last line without line end", "a=1\r\nb=2", "a=1\r\nb=2\r\n"},
      {"a last LF needs nothing", "a=1\n", "a=1\n"},
      {"zero byte", std::string("a=1\r\n\0b=2\r\n", 11), "a=1\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile("/Test.ini", c.bytes);
    EXPECT_EQ(open(), INILOCATION_AtCurrentDir);
    EXPECT_EQ(text(), c.text);
    EXPECT_EQ(save(INILOCATION_AtCurrentDir), 1);
    EXPECT_EQ(readFile("/Test.ini"), c.text);
    close();
  }
}

TEST_F(IniFile, NameFoundNowherePreparesAnEmptyText) {
  for (const char* name : {kName, static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(open(name), INILOCATION_NewFile);
    ASSERT_NE(MODULE_VAR(INIBuffer), nullptr);
    EXPECT_EQ(capacity(), 512u);
    EXPECT_EQ(std::string(MODULE_VAR(INIBuffer), 512), std::string(512, '\0'));
    expectTidy(1);
    close();
  }
  expectTidy();
}

TEST_F(IniFile, PreparedTextIsSavedInProgramFiles) {
  enter("/Work");
  open();
  MODULE_FN(INISetString)("a", "1");
  EXPECT_EQ(save(INILOCATION_NewFile), 1);
  EXPECT_EQ(readFile("/ProgramFiles/Test.ini"), "a=1\r\n");
  EXPECT_EQ(save(INILOCATION_NotFound), 1);
  EXPECT_EQ(fw().currentDir(), "/Work");
  expectTidy(1);
}

TEST_F(IniFile, RefusedSavesTouchNothing) {
  open();
  fw().clearTrace();
  EXPECT_EQ(save(6), 0);
  EXPECT_EQ(save(0xFFFFFFFFu), 0);
  EXPECT_EQ(save(INILOCATION_AtAppName, ""), 0);
  EXPECT_EQ(save(INILOCATION_AtAppName, nullptr), 0);
  EXPECT_EQ(save(INILOCATION_AtCurrentDir, nullptr, nullptr), 0);
  EXPECT_TRUE(fw().trace().empty());
  close();
  EXPECT_EQ(save(INILOCATION_AtCurrentDir), 0) << "no text open";
}

TEST_F(IniFile, SavesCreateTheFoldersTheyNeed) {
  open();
  MODULE_FN(INISetString)("a", "1");
  EXPECT_EQ(save(INILOCATION_AtSettings), 1);
  EXPECT_EQ(readFile("/ProgramFiles/Settings/Test.ini"), "a=1\r\n");
  EXPECT_EQ(save(INILOCATION_AtAppName, "App"), 1);
  EXPECT_EQ(readFile("/ProgramFiles/Settings/App/Test.ini"), "a=1\r\n");
  EXPECT_EQ(fw().currentDir(), "/");
  expectTidy(1);
}

TEST_F(IniFile, SaveRewritesTheFileWhole) {
  writeFile("/Test.ini", "a=1\r\n" + std::string(100, '#') + "\r\n");
  open();
  MODULE_VAR(INIBuffer)[5] = '\0';  // keep only the first line
  EXPECT_EQ(save(INILOCATION_AtCurrentDir), 1);
  EXPECT_EQ(readFile("/Test.ini"), "a=1\r\n");
}

TEST_F(IniFile, EveryFailingCallOfAnOpenLeavesItsTextOrNone) {
  const std::string file = "Key=1234567890\r\nOther=abcdefghij\r\n";  // 34 bytes
  const std::map<std::string, std::pair<INILOCATION, std::string>> expected = {
      {"", {INILOCATION_AtCurrentDir, file}},
      {"TAP_Hdd_Exist", {INILOCATION_NewFile, ""}},  // reported absent, then found nowhere
      {"TAP_Hdd_Fopen", {INILOCATION_NotFound, "(none)"}},
      {"TAP_Hdd_Flen", {INILOCATION_NotFound, "(none)"}},  // a length beyond the store's range
      {"TAP_MemAlloc", {INILOCATION_NotFound, "(none)"}},
      // The firmware delivers half the file and reports failure: the part
      // read stays open, ended by a line end, and the caller still closes.
      {"TAP_Hdd_Fread", {INILOCATION_NotFound, "Key=1234567890\r\nO\r\n"}},
      {"TAP_Hdd_ChangeDir", {INILOCATION_AtCurrentDir, file}},  // the pop's: "/" never left, or entered at the retry
  };
  INILOCATION where{};
  auto check = [&](const SweptCall& failing) {
    const auto& [code, opened] = expected.at(failing.entry);
    EXPECT_EQ(where, code);
    EXPECT_EQ(text(), opened);
    EXPECT_EQ(fw().currentDir(), "/");
    expectTidy(MODULE_VAR(INIBuffer) ? 1 : 0);
    close();
    expectTidy();
    return "";
  };
  const SweepCounts counts = sweepFaults({[&] { writeFile("/Test.ini", file); }, [&] { where = open(); }, check});
  EXPECT_EQ(counts.failed, 0);
  EXPECT_EQ(counts.runs, 7);
}

TEST_F(IniFile, FileTooLongForTheStoreIsRefused) {
  writeFile("/Test.ini", "a=1\r\n");
  fw().reportLength(kName, 0xFFFFFC00u);
  EXPECT_EQ(open(), INILOCATION_NotFound);
  EXPECT_EQ(fw().memory().allocations, 0u);
  expectTidy();
}

TEST_F(IniFile, EveryFailingCallOfASaveLeavesTheNewFileOrNone) {
  const std::map<std::string, std::pair<int32_t, std::optional<std::string>>> expected = {
      {"", {1, "a=2\r\n"}},
      {"TAP_Hdd_Delete", {1, "a=2\r\n\r\n"}},  // the old file kept, the text written over its head
      // No empty or short file is left to be read back.
      {"TAP_Hdd_Create", {0, std::nullopt}},
      {"TAP_Hdd_Fopen", {0, std::nullopt}},
      {"TAP_Hdd_Fwrite", {0, std::nullopt}},
      {"TAP_Hdd_ChangeDir", {1, "a=2\r\n"}},  // the pop's, made good at the retry
  };
  int32_t saved = -1;
  auto prepare = [&] {
    writeFile("/Test.ini", "a=100\r\n");
    open();
    MODULE_FN(INISetString)("a", "2");
  };
  auto check = [&](const SweptCall& failing) {
    const auto& [result, file] = expected.at(failing.entry);
    EXPECT_EQ(saved, result);
    EXPECT_EQ(readFile("/Test.ini"), file);
    EXPECT_EQ(text(), "a=2\r\n");
    EXPECT_EQ(fw().currentDir(), "/");
    expectTidy(1);
    return "";
  };
  const SweepCounts counts = sweepFaults({prepare, [&] { saved = save(INILOCATION_AtCurrentDir); }, check});
  EXPECT_EQ(counts.failed, 0);
  EXPECT_EQ(counts.runs, 5);
}

TEST_F(IniFile, CloseReleasesEverythingAndMayRepeat) {
  open();
  MODULE_VAR(INICommentBuffer) = static_cast<char*>(firmwareAlloc(16));
  close();
  EXPECT_EQ(MODULE_VAR(INIBuffer), nullptr);
  EXPECT_EQ(MODULE_VAR(INICommentBuffer), nullptr);
  EXPECT_EQ(capacity(), 0u);
  EXPECT_EQ(fw().memory().liveBlocks, 0u);
  close();
  EXPECT_EQ(fw().memory().badFrees, 0u);
}

TEST_F(IniFile, OpeningAgainReleasesTheTextStillOpen) {
  open();
  open();
  EXPECT_EQ(fw().memory().liveBlocks, 1u);
  close();
}

}  // namespace
