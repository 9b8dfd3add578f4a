// Directory navigation: the learned change-directory success value, the
// UTF-8 retry, the current directory read from the task table, and the
// directory stack.
#include <dlfcn.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <stdexcept>

#include "harness.h"
#include "helpers.h"

namespace {

// The firmware's task data, reached the way the module reaches it. A test may
// point the current entry elsewhere; everything is put back when it ends.
class TaskData {
 public:
  TaskData()
      : table_(sim::Session::current().taskData().table), index_(sim::Session::current().taskData().index) {
    if (table_ == nullptr || index_ == nullptr) throw std::runtime_error("no task data loaded");
    savedIndex_ = *index_;
    record_ = table_[savedIndex_].dirRecord;
    savedString_ = record_->directory;
  }
  ~TaskData() {
    *index_ = savedIndex_;
    table_[savedIndex_].dirRecord = record_;
    record_->directory = savedString_;
  }
  void setIndex(int32_t index) { *index_ = index; }
  void dropRecord() { table_[savedIndex_].dirRecord = nullptr; }
  void setString(const char* text) { record_->directory = text; }

 private:
  TapTaskEntry* table_;
  int32_t* index_;
  int32_t savedIndex_;
  TapDirRecord* record_;
  const char* savedString_;
};

// A 200-byte directory buffer between guard bytes, all filled with a marker.
constexpr char kMark = 'Z';
struct GuardedBuffer {
  static constexpr size_t kGuard = 16;
  std::array<char, TAP_DIR_LEN + 2 * kGuard> bytes;
  GuardedBuffer() { bytes.fill(kMark); }
  char* data() { return bytes.data() + kGuard; }
  bool guardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (bytes[i] != kMark || bytes[kGuard + TAP_DIR_LEN + i] != kMark) return false;
    return true;
  }
};

std::string changeDirCall(const std::string& path, int32_t result) {
  return "TAP_Hdd_ChangeDir(\"" + path + "\") = " + std::to_string(result);
}

class Directories : public DeviceTest {
 protected:
  int32_t changeDir(const std::string& path) { return MODULE_FN(HDD_ChangeDir)(path.c_str()); }
  int32_t currentDir(char* buffer) { return MODULE_FN(HDD_TAP_GetCurrentDir)(buffer); }
  int32_t push() { return MODULE_FN(HDD_TAP_PushDir)(); }
  int32_t pop() { return MODULE_FN(HDD_TAP_PopDir)(); }
  int32_t depth() { return MODULE_VAR(TAPDirStackDepth); }
  std::string entry(int i) { return MODULE_VAR(TAPDirStack)[i]; }
  void enter(const std::string& path) {
    makeDir(path);
    ASSERT_TRUE(fw().setCurrentDir(path));
  }
};

// Both conventions the firmware may use for a successful change.
class ChangeDirConvention : public Directories, public ::testing::WithParamInterface<int32_t> {
 protected:
  DeviceConfig config() const override {
    DeviceConfig c;
    c.chdirSuccess = GetParam();
    return c;
  }
};

TEST_P(ChangeDirConvention, LearnsSuccessFromTheFirstChange) {
  const int32_t ok = GetParam(), failed = ok == 0 ? -1 : 0;
  makeDir("/ProgramFiles/Settings");
  makeDir("/Settings");  // would be entered if the relative path were taken from "/"

  EXPECT_EQ(changeDir("Settings"), 1);
  EXPECT_EQ(sim::record::lines(calls("TAP_Hdd_ChangeDir")),
            (std::vector<std::string>{changeDirCall("/ProgramFiles", ok), changeDirCall("Settings", ok)}));
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/Settings");

  fw().clearTrace();
  EXPECT_EQ(changeDir("/ProgramFiles"), 1);
  EXPECT_EQ(sim::record::lines(calls("TAP_Hdd_ChangeDir")),
            std::vector<std::string>{changeDirCall("/ProgramFiles", ok)});

  // A failing ASCII path is tried twice with the same text.
  fw().clearTrace();
  EXPECT_EQ(changeDir("Missing"), 0);
  EXPECT_EQ(sim::record::lines(calls("TAP_Hdd_ChangeDir")),
            (std::vector<std::string>{changeDirCall("Missing", failed), changeDirCall("Missing", failed)}));
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles");
}

INSTANTIATE_TEST_SUITE_P(Success, ChangeDirConvention, ::testing::Values(0, 1));

TEST_F(Directories, EntersTheUtf8FormOfALatin1Name) {
  makeDir("/ProgramFiles/Caf\xC3\xA9");
  EXPECT_EQ(changeDir("/ProgramFiles/Caf\xE9"), 1);
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/Caf\xC3\xA9");
  EXPECT_FALSE(exists("/ProgramFiles/Caf\xE9"));  // the disk holds the name's bytes as they are
  EXPECT_EQ(sim::record::lines(calls("TAP_Hdd_ChangeDir")),
            (std::vector<std::string>{changeDirCall("/ProgramFiles", 0), changeDirCall("/ProgramFiles/Caf\\xE9", -1),
                                      changeDirCall("/ProgramFiles/Caf\\xC3\\xA9", 0)}));
}

TEST_F(Directories, TriesNoUtf8FormThatDoesNotFit) {
  // "/" and 127 Latin-1 bytes: a UTF-8 form of 255 bytes, tried.
  EXPECT_EQ(changeDir("/" + std::string(127, '\xE9')), 0);
  EXPECT_EQ(calls("TAP_Hdd_ChangeDir").size(), 3u);
  // One more byte: 256 bytes and the terminator would not fit; no second try.
  fw().clearTrace();
  EXPECT_EQ(changeDir("/a" + std::string(127, '\xE9')), 0);
  EXPECT_EQ(calls("TAP_Hdd_ChangeDir").size(), 1u);
  fw().clearTrace();
  EXPECT_EQ(changeDir("/" + std::string(300, 'a')), 0);
  EXPECT_EQ(calls("TAP_Hdd_ChangeDir").size(), 1u);
}

TEST_F(Directories, SixteenPushesFillTheStack) {
  for (int i = 0; i < 16; ++i) {
    enter("/ProgramFiles/d" + std::to_string(i));
    EXPECT_EQ(push(), 1);
    EXPECT_EQ(depth(), i);
  }
  enter("/ProgramFiles/extra");
  EXPECT_EQ(push(), 0);
  EXPECT_EQ(depth(), 15);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(entry(i), "/ProgramFiles/d" + std::to_string(i));
  // The pop that matches the refused push removes the top entry all the same.
  EXPECT_EQ(pop(), 1);
  EXPECT_EQ(depth(), 14);
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/d15");
}

TEST_F(Directories, PushesAndPopsNest) {
  EXPECT_EQ(pop(), 0);
  EXPECT_EQ(depth(), -1);
  EXPECT_TRUE(calls("TAP_Hdd_ChangeDir").empty());

  makeDir("/ProgramFiles/A/B/C");
  EXPECT_EQ(changeDir("/ProgramFiles/A"), 1);
  EXPECT_EQ(push(), 1);
  EXPECT_EQ(changeDir("B"), 1);
  EXPECT_EQ(push(), 1);
  EXPECT_EQ(changeDir("C"), 1);
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/A/B/C");
  EXPECT_EQ(pop(), 1);
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/A/B");
  EXPECT_EQ(pop(), 1);
  EXPECT_EQ(fw().currentDir(), "/ProgramFiles/A");
  EXPECT_EQ(depth(), -1);

  // A pop whose change fails loses its entry all the same.
  EXPECT_EQ(push(), 1);
  fw().failCall("TAP_Hdd_ChangeDir", 0);
  EXPECT_EQ(pop(), 0);
  EXPECT_EQ(depth(), -1);
}

TEST_F(Directories, ReadsTheDirectoryAfterThePrefix) {
  TaskData task;
  GuardedBuffer buffer;
  ASSERT_TRUE(fw().setCurrentDir("/ProgramFiles"));
  EXPECT_EQ(currentDir(buffer.data()), 0);
  EXPECT_STREQ(buffer.data(), "/ProgramFiles");
  EXPECT_EQ(currentDir(nullptr), 0);

  task.setString("1234567/ProgramFiles/x");
  EXPECT_EQ(currentDir(buffer.data()), 0);
  EXPECT_STREQ(buffer.data(), "/ProgramFiles/x");
  EXPECT_TRUE(buffer.guardsIntact());
}

TEST_F(Directories, TaskWithoutDirectoryLeavesTheBufferAlone) {
  enter("/ProgramFiles/A");
  ASSERT_EQ(push(), 1);
  ASSERT_EQ(pop(), 1);  // entry 0 keeps "/ProgramFiles/A" above the top
  ASSERT_TRUE(fw().setCurrentDir("/"));
  GuardedBuffer buffer;
  {
    TaskData task;
    task.dropRecord();
    EXPECT_EQ(currentDir(buffer.data()), 0);
    EXPECT_EQ(buffer.data()[0], kMark);
    task.setIndex(0);  // another entry of the table, without record too
    EXPECT_EQ(currentDir(buffer.data()), 0);
    EXPECT_EQ(buffer.data()[0], kMark);

    // The push succeeds and keeps what the entry held; its pop goes there.
    EXPECT_EQ(push(), 1);
    EXPECT_EQ(entry(0), "/ProgramFiles/A");
    EXPECT_EQ(pop(), 1);
    EXPECT_EQ(fw().currentDir(), "/ProgramFiles/A");
  }
  {
    TaskData task;
    task.setString(nullptr);
    EXPECT_EQ(currentDir(buffer.data()), 0);
    EXPECT_EQ(buffer.data()[0], kMark);
  }
}

TEST_F(Directories, RefusesDirectoriesThatDoNotFit) {
  TaskData task;
  GuardedBuffer buffer;
  const std::string longest = "/" + std::string(TAP_DIR_LEN - 2, 'a');  // 199 characters

  EdgeString fits("/mnt/hd" + longest);
  task.setString(fits.c_str());
  EXPECT_EQ(currentDir(buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data()), longest);
  EXPECT_TRUE(buffer.guardsIntact());

  EdgeString tooLong("/mnt/hd" + longest + "a");
  task.setString(tooLong.c_str());
  buffer = GuardedBuffer();
  EXPECT_EQ(currentDir(buffer.data()), -3);
  EXPECT_EQ(buffer.data()[0], '\0');
  EXPECT_EQ(buffer.data()[1], kMark);
  EXPECT_TRUE(buffer.guardsIntact());
  EXPECT_EQ(push(), 0);
  EXPECT_EQ(depth(), -1);

  // Strings that end inside the prefix are read up to their terminator only.
  for (const char* shortString : {"", "abc", "/mnt/h"}) {
    EdgeString edge(shortString);
    task.setString(edge.c_str());
    buffer = GuardedBuffer();
    EXPECT_EQ(currentDir(buffer.data()), -3) << shortString;
    EXPECT_EQ(buffer.data()[0], '\0');
    EXPECT_EQ(buffer.data()[1], kMark);
  }
  EdgeString prefixOnly("/mnt/hd");
  task.setString(prefixOnly.c_str());
  EXPECT_EQ(currentDir(buffer.data()), 0);
  EXPECT_STREQ(buffer.data(), "");
  EXPECT_TRUE(buffer.guardsIntact());
}

class WithoutTaskData : public Directories {
 protected:
  DeviceConfig config() const override {
    DeviceConfig c;
    c.taskTable = false;
    return c;
  }
};

TEST_F(WithoutTaskData, ReadsNoDirectoryAndRefusesPushes) {
  GuardedBuffer buffer;
  EXPECT_EQ(currentDir(buffer.data()), -3);
  EXPECT_EQ(buffer.data()[0], '\0');
  EXPECT_EQ(buffer.data()[1], kMark);
  EXPECT_EQ(currentDir(nullptr), -3);

  EXPECT_EQ(push(), 0);
  EXPECT_EQ(depth(), -1);
  EXPECT_EQ(pop(), 0);
  EXPECT_TRUE(calls("TAP_Hdd_ChangeDir").empty());
}

}  // namespace
