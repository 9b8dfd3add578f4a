// The disk channel's tar (sim/devsim/tar.h): our archives read back whole,
// and an archive from the VM refused when any header, name or bound is off.
#include "tar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::tar::Entry;
using sim::tar::Kind;

std::string archive(const std::vector<Entry>& entries) {
  std::string out, error;
  for (const Entry& e : entries) EXPECT_TRUE(sim::tar::append(out, e, error)) << error;
  sim::tar::finish(out);
  return out;
}

bool read(const std::string& bytes, std::vector<Entry>& entries, std::string& error, size_t maxEntries = 8,
          uint64_t maxBytes = 1024) {
  return sim::tar::read(bytes.data(), bytes.size(), maxEntries, maxBytes, entries, error);
}

// A header's field set to TEXT, its checksum made right again.
std::string withField(std::string bytes, size_t at, const std::string& text) {
  bytes.replace(at, text.size(), text);
  bytes.replace(148, 8, "        ");
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(bytes[i]);
  char field[8];
  snprintf(field, sizeof field, "%06o", sum);
  bytes.replace(148, 7, std::string(field, 7));
  return bytes;
}

TEST(DiskChannel, ReadsBackWhatItWrote) {
  const std::string deep = "disk/" + std::string(90, 'a') + "/" + std::string(90, 'b');
  const std::vector<Entry> written = {
      {"disk", Kind::Folder}, {deep, Kind::Folder}, {deep + "/x.ini", Kind::File, std::string("k=1\r\n\0\xff", 7)}};
  std::vector<Entry> got;
  std::string error;
  ASSERT_TRUE(read(archive(written), got, error)) << error;
  ASSERT_EQ(got.size(), written.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].path, written[i].path);
    EXPECT_EQ(got[i].kind, written[i].kind);
    EXPECT_EQ(got[i].bytes, written[i].bytes);
  }
  std::string tooLong;
  EXPECT_FALSE(sim::tar::append(tooLong, {std::string(300, 'c'), Kind::File, ""}, error));
}

TEST(DiskChannel, RefusesWhatNoSoundArchiveHolds) {
  const std::string file = archive({{"disk/f", Kind::File, "abc"}});
  const struct {
    const char* what;
    std::string bytes;
    size_t maxEntries;
    uint64_t maxBytes;
    const char* error;
  } cases[] = {
      {"a bad checksum", std::string(file).replace(0, 1, "e"), 8, 1024, "no tar header at byte 0"},
      {"a size past the end", withField(file, 124, "77777777777"), 8, 1024, "runs past the end"},
      {"a size that is no number", withField(file, 124, "0000000009x"), 8, 1024, "no tar header"},
      {"a parent folder", withField(file, 0, "disk/../../etc"), 8, 1024, "no path below"},
      {"an absolute name", withField(file, 0, "/etc/passwd"), 8, 1024, "no path below"},
      {"an empty part", withField(file, 0, "disk//f"), 8, 1024, "no path below"},
      {"too many entries", archive({{"a", Kind::Folder}, {"b", Kind::Folder}}), 1, 1024, "more than 1 entries"},
      {"too many bytes", file, 8, 2, "more than 2 bytes"},
  };
  for (const auto& c : cases) {
    std::vector<Entry> got;
    std::string error;
    EXPECT_FALSE(read(c.bytes, got, error, c.maxEntries, c.maxBytes)) << c.what;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
  }
}

TEST(DiskChannel, NamesLinksAndDevicesWithoutTheirBytes) {
  std::vector<Entry> got;
  std::string error;
  ASSERT_TRUE(read(withField(archive({{"disk/l", Kind::File, ""}}), 156, "2"), got, error)) << error;
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, Kind::Other);
  EXPECT_EQ(got[0].type, '2');
}

}  // namespace
