#include "disk_changes.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "file.h"
#include "folder.h"
#include "record.h"
#include "sandbox.h"

namespace devsim {
namespace {

using sim::sandbox::Fd;

// The longest link target kept; a longer one is kept cut.
constexpr size_t kLongestTarget = 4096;

// Walks the disk from one held folder to the next, never through a link.
class Walk {
 public:
  explicit Walk(DiskState& state) : state_(state) {}
  void folder(int dir, const std::string& path, int depth);

 private:
  void untaken(const std::string& why) {
    if (state_.untaken.empty()) state_.untaken = why;
  }
  std::vector<std::string> names(int dir, const std::string& path);
  void keepBytes(int dir, const char* name, DiskEntry& e);

  DiskState& state_;
  uint64_t kept_ = 0;
};

// The names in the folder DIR, in name order; at most as many as may still
// be taken, and one more to tell that there are more.
std::vector<std::string> Walk::names(int dir, const std::string& path) {
  bool read = false;
  std::vector<std::string> out =
      sim::folder::names(dir, kMostEntries - std::min(kMostEntries, state_.entries.size()) + 1, &read);
  if (!read) untaken("the folder " + sim::record::quoted(path) + " cannot be read (" + strerror(errno) + ")");
  return out;
}

// A file's bytes, when they fit in what may still be kept and it is still
// the regular file it was.
void Walk::keepBytes(int dir, const char* name, DiskEntry& e) {
  if (e.size > kKeptBytes - kept_) return;
  Fd file(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  std::string bytes;
  if (!file.ok() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) != e.size || !sim::readAll(file.get(), e.size, bytes) || bytes.size() != e.size)
    return;
  kept_ += e.size;
  e.bytes = std::move(bytes);
}

void Walk::folder(int dir, const std::string& path, int depth) {
  for (const std::string& name : names(dir, path)) {
    if (state_.entries.size() >= kMostEntries) {
      untaken("the disk holds more than " + std::to_string(kMostEntries) + " entries; those after " +
              sim::record::quoted(path + "/" + name) + " in name order were not compared");
      return;
    }
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    const std::string entryPath = path + "/" + name;
    DiskEntry e;
    if (S_ISDIR(st.st_mode)) {
      e.kind = DiskEntry::Folder;
    } else if (S_ISREG(st.st_mode)) {
      e.kind = DiskEntry::File;
      e.size = static_cast<uint64_t>(st.st_size);
      e.changedAt = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
      keepBytes(dir, name.c_str(), e);
    } else if (S_ISLNK(st.st_mode)) {
      e.kind = DiskEntry::Link;
      char target[kLongestTarget];
      const ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target);
      if (n > 0) e.target.assign(target, static_cast<size_t>(n));
    } else {
      e.kind = S_ISFIFO(st.st_mode) ? DiskEntry::Fifo : S_ISSOCK(st.st_mode) ? DiskEntry::Socket : DiskEntry::Device;
    }
    state_.entries[entryPath] = e;
    if (e.kind != DiskEntry::Folder) continue;
    if (depth >= kDeepestFolder) {
      untaken("folders deeper than " + std::to_string(kDeepestFolder) + " levels were not compared");
      continue;
    }
    Fd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.ok()) {
      untaken("the folder " + sim::record::quoted(entryPath) + " cannot be read (" + strerror(errno) + ")");
      continue;
    }
    folder(sub.get(), entryPath, depth + 1);
  }
}

bool same(const DiskEntry& a, const DiskEntry& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case DiskEntry::File:
      if (a.size != b.size) return false;
      return a.bytes && b.bytes ? *a.bytes == *b.bytes : a.changedAt == b.changedAt;
    case DiskEntry::Link:
      return a.target == b.target;
    default:
      return true;
  }
}

std::string described(const DiskEntry& e) {
  switch (e.kind) {
    case DiskEntry::Folder:
      return "a folder";
    case DiskEntry::File:
      return std::to_string(e.size) + (e.size == 1 ? " byte" : " bytes");
    case DiskEntry::Link:
      return "a link to " + sim::record::quoted(e.target);
    case DiskEntry::Fifo:
      return "a FIFO";
    case DiskEntry::Socket:
      return "a socket";
    case DiskEntry::Device:
      break;
  }
  return "a device";
}

}  // namespace

DiskState diskState(const std::string& disk) {
  DiskState state;
  Fd root(open(disk.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.ok()) {
    state.untaken = "the disk " + sim::record::quoted(disk) + " cannot be read (" + strerror(errno) + ")";
    return state;
  }
  Walk(state).folder(root.get(), "", 1);
  return state;
}

std::vector<DiskChange> diskChanges(const DiskState& before, const DiskState& after) {
  std::vector<DiskChange> changes;
  auto b = before.entries.begin();
  auto a = after.entries.begin();
  while (b != before.entries.end() || a != after.entries.end()) {
    if (a == after.entries.end() || (b != before.entries.end() && b->first < a->first)) {
      changes.push_back({b->first, b->second, std::nullopt});
      ++b;
    } else if (b == before.entries.end() || a->first < b->first) {
      changes.push_back({a->first, std::nullopt, a->second});
      ++a;
    } else {
      if (!same(b->second, a->second)) changes.push_back({a->first, b->second, a->second});
      ++b;
      ++a;
    }
  }
  return changes;
}

std::vector<std::string> diskLines(const DiskState& before, const DiskState& after) {
  std::vector<std::string> lines;
  const std::vector<DiskChange> changes = diskChanges(before, after);
  for (size_t i = 0; i < changes.size() && i < kShownChanges; ++i) {
    const DiskChange& c = changes[i];
    const std::string path = sim::record::escaped(c.path);
    if (!c.before)
      lines.push_back(path + " created, " + described(*c.after));
    else if (!c.after)
      lines.push_back(path + " deleted, " + described(*c.before));
    else
      lines.push_back(path + " changed, " + described(*c.after) + " (" + described(*c.before) + " before)");
  }
  if (changes.size() > kShownChanges)
    lines.push_back("and " + std::to_string(changes.size() - kShownChanges) + " more created, changed or deleted");
  if (changes.empty()) lines.push_back("nothing created, changed or deleted");
  for (const std::string& why : {before.untaken, after.untaken})
    if (!why.empty() && (lines.empty() || lines.back() != why)) lines.push_back(why);
  return lines;
}

}  // namespace devsim
