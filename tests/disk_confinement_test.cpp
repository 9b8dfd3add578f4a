// The simulated disk cannot be left: every firmware disk entry refuses ".."
// and symbolic links, whether the path is absolute or relative, so nothing
// outside the disk's folder is seen, opened, created or deleted.
#include <filesystem>
#include <fstream>
#include <set>

#include "file.h"
#include "harness.h"
#include "helpers.h"
#include "tap.h"

namespace {

namespace fs = std::filesystem;

// A firmware API entry as the module calls it.
template <class Entry>
Entry* api(const char* name) {
  return *static_cast<Entry**>(firmwareExport(name));
}

class DiskConfinement : public DeviceTest {
 protected:
  // Beside the disk, in the sandbox's tmp: "outside" holding "secret.txt"
  // and an empty folder "sub"; in the disk, links to them from
  // "/ProgramFiles".
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped()) return;
    fs::create_directories(outside() + "/sub");
    writeHostFile(outside() + "/secret.txt", "secret");
    fs::create_directory_symlink(outside(), hostPath("/ProgramFiles/out"));
    fs::create_directory_symlink("../../tmp/outside", hostPath("/ProgramFiles/rel"));
    fs::create_symlink(outside() + "/secret.txt", hostPath("/ProgramFiles/secret.ini"));
    ASSERT_TRUE(fs::is_directory(hostPath("/ProgramFiles/rel")));
  }
  std::string outside() const { return sandbox() + "/tmp/outside"; }
  // Beside the disk everything is as SetUp made it, and the links remain.
  void expectOutsideUntouched() const {
    EXPECT_EQ(sim::readFile(outside() + "/secret.txt"), "secret");
    std::set<std::string> besideDisk, inTmp, inOutside;
    for (const auto& item : fs::directory_iterator(sandbox())) besideDisk.insert(item.path().filename());
    for (const auto& item : fs::directory_iterator(sandbox() + "/tmp")) inTmp.insert(item.path().filename());
    for (const auto& item : fs::directory_iterator(outside())) inOutside.insert(item.path().filename());
    EXPECT_EQ(besideDisk, (std::set<std::string>{"disk", "tmp"}));
    EXPECT_EQ(inTmp, (std::set<std::string>{"outside"}));
    EXPECT_EQ(inOutside, (std::set<std::string>{"secret.txt", "sub"}));
    for (const char* link : {"/ProgramFiles/out", "/ProgramFiles/rel", "/ProgramFiles/secret.ini"})
      EXPECT_TRUE(fs::is_symlink(hostPath(link))) << link;
  }
};

// Paths that leave the disk when ".." or a link is followed: most name the
// folder "outside" beside it (in the sandbox's tmp), ".." the folder that
// holds it.
const char* const kWaysOut[] = {
    "../tmp/outside",
    "/../tmp/outside",
    "/ProgramFiles/../../tmp/outside",
    "ProgramFiles/../../tmp/outside",
    "./../tmp/outside",
    "//..//tmp/outside",
    "/ProgramFiles/out",
    "ProgramFiles/out",
    "/ProgramFiles/rel",
    "..",
};

TEST_F(DiskConfinement, EveryDiskEntryRefusesEveryWayOut) {
  auto changeDir = api<dword(const char*)>("TAP_Hdd_ChangeDir");
  auto exist = api<dword(const char*)>("TAP_Hdd_Exist");
  auto create = api<dword(const char*, dword)>("TAP_Hdd_Create");
  auto remove = api<dword(const char*)>("TAP_Hdd_Delete");
  auto fopen = api<TYPE_File*(const char*)>("TAP_Hdd_Fopen");
  for (const std::string way : kWaysOut) {
    SCOPED_TRACE(way);
    EXPECT_NE(changeDir(way.c_str()), 0u) << "the change fails";
    EXPECT_NE(changeDir((way + "/sub").c_str()), 0u);
    EXPECT_EQ(fw().currentDir(), "/");
    EXPECT_EQ(exist(way.c_str()), 0u);
    EXPECT_EQ(exist((way + "/secret.txt").c_str()), 0u);
    EXPECT_EQ(fopen((way + "/secret.txt").c_str()), nullptr);
    EXPECT_EQ(create((way + "/made").c_str(), ATTR_NORMAL), 0u);
    EXPECT_EQ(create((way + "/made").c_str(), ATTR_FOLDER), 0u);
    EXPECT_EQ(create((way + "/secret.txt").c_str(), ATTR_NORMAL), 0u);
    EXPECT_EQ(remove((way + "/secret.txt").c_str()), 0u);
    EXPECT_EQ(remove((way + "/sub").c_str()), 0u);
    EXPECT_EQ(remove(way.c_str()), 0u);
    expectOutsideUntouched();
  }
  EXPECT_EQ(fw().openFiles(), 0u);
}

TEST_F(DiskConfinement, RelativeWaysOutFromAFolderAreRefusedToo) {
  ASSERT_TRUE(fw().setCurrentDir("/ProgramFiles"));
  auto changeDir = api<dword(const char*)>("TAP_Hdd_ChangeDir");
  auto exist = api<dword(const char*)>("TAP_Hdd_Exist");
  auto fopen = api<TYPE_File*(const char*)>("TAP_Hdd_Fopen");
  for (const char* way : {"..", "../..", "../../tmp/outside", "out", "rel", "./out/../.."}) {
    SCOPED_TRACE(way);
    EXPECT_NE(changeDir(way), 0u);
    EXPECT_EQ(fw().currentDir(), "/ProgramFiles");
    EXPECT_EQ(exist((std::string(way) + "/secret.txt").c_str()), 0u);
    EXPECT_EQ(fopen((std::string(way) + "/secret.txt").c_str()), nullptr);
  }
  // Inside the disk, the same entries work.
  EXPECT_EQ(changeDir("/ProgramFiles"), 0u);
  EXPECT_EQ(exist("/ProgramFiles"), 1u);
}

TEST_F(DiskConfinement, LinkToAFileOutsideIsNeitherReadNorWrittenNorRemoved) {
  auto exist = api<dword(const char*)>("TAP_Hdd_Exist");
  auto create = api<dword(const char*, dword)>("TAP_Hdd_Create");
  auto remove = api<dword(const char*)>("TAP_Hdd_Delete");
  auto fopen = api<TYPE_File*(const char*)>("TAP_Hdd_Fopen");
  for (const char* link : {"/ProgramFiles/secret.ini", "ProgramFiles/secret.ini"}) {
    EXPECT_EQ(exist(link), 0u) << link;
    EXPECT_EQ(fopen(link), nullptr) << link;
    EXPECT_EQ(create(link, ATTR_NORMAL), 0u) << link;
    EXPECT_EQ(remove(link), 0u) << link;
  }
  expectOutsideUntouched();

  // The module's own file operations meet the same refusals.
  EXPECT_EQ(MODULE_FN(HDD_ChangeDir)("../tmp/outside"), 0);
  EXPECT_EQ(MODULE_FN(HDD_ChangeDir)("/ProgramFiles/out"), 0);
  ASSERT_EQ(MODULE_FN(INIOpenFile)("secret.ini", nullptr), INILOCATION_NewFile) << "the link is not found";
  MODULE_FN(INISetString)("a", "1");
  EXPECT_EQ(MODULE_FN(INISaveFile)("secret.ini", INILOCATION_AtProgramFiles, nullptr), 0);
  EXPECT_EQ(MODULE_FN(INISaveFile)("../tmp/outside/secret.txt", INILOCATION_AtCurrentDir, nullptr), 0);
  EXPECT_EQ(MODULE_FN(INISaveFile)("secret.txt", INILOCATION_AtAppName, "../../../tmp/outside"), 0);
  MODULE_FN(INICloseFile)();
  expectOutsideUntouched();
  EXPECT_EQ(fw().openFiles(), 0u);
  EXPECT_EQ(MODULE_VAR(TAPDirStackDepth), -1);
}

}  // namespace
