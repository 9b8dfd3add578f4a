// What a run did to the disk (sim/devsim/disk_changes.h): each entry created,
// changed or deleted is named with its size, nothing else is; links are
// named, never followed, and FIFOs never opened.
#include "disk_changes.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAreArray;

TEST(DiskChanges, NamesEachEntryCreatedChangedOrDeleted) {
  const std::string disk = temporaryFolder(), outside = temporaryFolder();
  writeHostFile(outside + "/secret", "x");
  const std::string big = disk + "/big";  // past the bytes kept: compared by its time of change
  const struct {
    const char* what;
    std::function<void()> before, run;
    std::vector<std::string> lines;
  } cases[] = {
      {"nothing", [] {}, [] {}, {"nothing created, changed or deleted"}},
      {"created",
       [] {},
       [&] {
         fs::create_directories(disk + "/P/S");
         writeHostFile(disk + "/P/S/a.ini", "Starts=1\r\n");
         writeHostFile(disk + "/P/one", "1");
       },
       {"/P created, a folder", "/P/S created, a folder", "/P/S/a.ini created, 10 bytes", "/P/one created, 1 byte"}},
      {"same bytes written again",
       [&] { writeHostFile(disk + "/a.ini", "k=1\r\n"); },
       [&] { writeHostFile(disk + "/a.ini", "k=1\r\n"); },
       {"nothing created, changed or deleted"}},
      {"changed, same size",
       [&] { writeHostFile(disk + "/a.ini", "k=1\r\n"); },
       [&] { writeHostFile(disk + "/a.ini", "k=2\r\n"); },
       {"/a.ini changed, 5 bytes (5 bytes before)"}},
      {"deleted and replaced by a folder",
       [&] {
         writeHostFile(disk + "/gone", "abc");
         writeHostFile(disk + "/f", "abc");
       },
       [&] {
         fs::remove(disk + "/gone");
         fs::remove(disk + "/f");
         fs::create_directory(disk + "/f");
       },
       {"/f changed, a folder (3 bytes before)", "/gone deleted, 3 bytes"}},
      {"a link to a folder outside, and a FIFO",
       [] {},
       [&] {
         fs::create_directory_symlink(outside, disk + "/out");
         ASSERT_EQ(mkfifo((disk + "/fifo").c_str(), 0600), 0);
       },
       {"/fifo created, a FIFO", "/out created, a link to \"" + outside + "\""}},
      {"a long file untouched",
       [&] {
         std::ofstream(big).close();
         fs::resize_file(big, devsim::kKeptBytes + 1);
       },
       [] {},
       {"nothing created, changed or deleted"}},
      {"a long file written",
       [&] {
         std::ofstream(big).close();
         fs::resize_file(big, devsim::kKeptBytes + 1);
         const timespec past[2] = {{1, 0}, {1, 0}};
         ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), past, 0), 0);
       },
       [&] { ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), nullptr, 0), 0); },
       {"/big changed, 16777217 bytes (16777217 bytes before)"}},
      {"a line end in a name", [] {}, [&] { writeHostFile(disk + "/a\nb", ""); }, {"/a\\nb created, 0 bytes"}},
  };
  for (const auto& c : cases) {
    for (const auto& entry : fs::directory_iterator(disk)) fs::remove_all(entry.path());
    c.before();
    const devsim::DiskState before = devsim::diskState(disk);
    c.run();
    EXPECT_THAT(devsim::diskLines(before, devsim::diskState(disk)), ElementsAreArray(c.lines)) << c.what;
  }
  fs::remove_all(disk);
  fs::remove_all(outside);
}

// More changes than a report shows are counted in one line; entries past
// those taken are said to be left out.
TEST(DiskChanges, BoundsWhatItShowsAndTakes) {
  const std::string disk = temporaryFolder();
  const devsim::DiskState empty = devsim::diskState(disk);
  for (size_t i = 0; i < devsim::kShownChanges + 2; ++i) writeHostFile(disk + "/" + std::to_string(1000 + i), "");
  std::vector<std::string> lines = devsim::diskLines(empty, devsim::diskState(disk));
  ASSERT_EQ(lines.size(), devsim::kShownChanges + 1);
  EXPECT_EQ(lines.back(), "and 2 more created, changed or deleted");

  std::string deep = disk;
  for (int i = 0; i <= devsim::kDeepestFolder; ++i) deep += "/d";
  fs::create_directories(deep);
  lines = devsim::diskLines(empty, devsim::diskState(disk));
  EXPECT_EQ(lines.back(), "folders deeper than 64 levels were not compared");
  fs::remove_all(disk);
}

}  // namespace
