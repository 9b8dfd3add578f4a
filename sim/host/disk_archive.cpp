#include "disk_archive.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "file.h"
#include "folder.h"
#include "run_limits.h"

namespace sim::disk {
namespace {

std::string reason() { return strerror(errno); }

struct Counts {
  size_t entries = 0;
  uint64_t bytes = 0;
};

bool packFolder(int dir, const std::string& inside, const std::string& shown, std::string& archive, Counts& counts,
                std::string& error, std::vector<std::string>* skipped, const std::string& diskPath) {
  for (const std::string& name : folder::names(dir)) {
    const std::string path = inside + "/" + name, where = shown + "/" + name;
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      error = where + ": " + reason();
      return false;
    }
    if (++counts.entries > limits::kDiskEntries) {
      error = shown + ": the disk holds more than " + std::to_string(limits::kDiskEntries) + " entries";
      return false;
    }
    const int open = openat(
        dir, name.c_str(),
        (S_ISDIR(st.st_mode) ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK | O_NOCTTY) | O_NOFOLLOW | O_CLOEXEC);
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      if (open >= 0) close(open);
      if (skipped != nullptr) {
        skipped->push_back(diskPath + "/" + name);
        continue;
      }
      error = where + ": " + (S_ISLNK(st.st_mode) ? "a link" : "no folder or regular file") +
              "; the disk holds only folders and regular files";
      return false;
    }
    if (open < 0) {
      error = where + ": " + reason();
      return false;
    }
    bool ok = true;
    if (S_ISDIR(st.st_mode)) {
      ok = tar::append(archive, {path, tar::Kind::Folder}, error) &&
           packFolder(open, path, where, archive, counts, error, skipped, diskPath + "/" + name);
    } else {
      counts.bytes += static_cast<uint64_t>(st.st_size);
      std::string bytes;
      ok = counts.bytes <= limits::kDiskBytes && readAll(open, static_cast<size_t>(st.st_size), bytes);
      if (!ok)
        error = counts.bytes > limits::kDiskBytes
                    ? shown + ": the disk holds more than " + std::to_string(limits::kDiskBytes) + " bytes"
                    : where + ": " + reason();
      ok = ok && tar::append(archive, {path, tar::Kind::File, bytes}, error);
    }
    close(open);
    if (!ok) return false;
  }
  return true;
}

// Opens the folder RELATIVE below ROOT, making what is missing.
int makeFolder(int root, const std::string& relative, std::string& error) {
  std::string reached;
  const int fd = folder::openBelow(root, relative, true, &reached);
  if (fd < 0) error = reached + ": " + (errno == ELOOP || errno == ENOTDIR ? "a link or no folder" : reason());
  return fd;
}

// Removes the folders and regular files in DIR (at RELATIVE) not among
// KEPT; anything else there (a link, a FIFO) was never handed in, and stays.
void removeOthers(int dir, const std::string& relative, const std::map<std::string, tar::Kind>& kept) {
  for (const std::string& name : folder::names(dir)) {
    const std::string path = relative.empty() ? name : relative + "/" + name;
    const auto it = kept.find(path);
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)))
      continue;
    if (it == kept.end()) {
      folder::remove(dir, name);
    } else if (it->second == tar::Kind::Folder) {
      const int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) removeOthers(sub, path, kept);
      if (sub >= 0) close(sub);
    }
  }
}

}  // namespace

bool pack(const std::string& folder, const std::string& prefix, std::string& archive, std::string& error,
          std::vector<std::string>* skipped) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = folder + ": " + reason();
    return false;
  }
  Counts counts;
  const bool ok = tar::append(archive, {prefix, tar::Kind::Folder}, error) &&
                  packFolder(fd, prefix, folder, archive, counts, error, skipped, "");
  close(fd);
  return ok;
}

bool unpack(const std::string& archive, std::vector<tar::Entry>& entries, std::string& error) {
  // The disk's entries, and the few the archive adds (its top folder, the
  // module and the run's arguments).
  return tar::read(archive.data(), archive.size(), limits::kDiskEntries + 8, limits::kDiskBytes + (16u << 20), entries,
                   error);
}

bool apply(const std::vector<tar::Entry>& entries, const std::string& prefix, const std::string& folder,
           std::vector<std::string>& skipped, std::string& error) {
  const int root = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root < 0) {
    error = folder + ": " + reason();
    return false;
  }
  std::map<std::string, tar::Kind> kept;
  bool ok = true;
  const std::string below = prefix + "/";
  for (const tar::Entry& e : entries) {
    if (!ok || e.path.compare(0, below.size(), below) != 0) continue;
    const std::string relative = e.path.substr(below.size());
    if (e.kind == tar::Kind::Other) {
      skipped.push_back("/" + relative);
      continue;
    }
    kept[relative] = e.kind;
    const size_t slash = relative.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : relative.substr(0, slash);
    const int dir = makeFolder(root, e.kind == tar::Kind::Folder ? relative : parent, error);
    if (dir < 0) {
      error = folder + "/" + error;
      ok = false;
      continue;
    }
    if (e.kind == tar::Kind::File) {
      const char* name = relative.c_str() + (slash == std::string::npos ? 0 : slash + 1);
      struct stat st;
      if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) folder::remove(dir, name);
      const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
      ok = fd >= 0 && write(fd, e.bytes.data(), e.bytes.size()) == static_cast<ssize_t>(e.bytes.size());
      if (!ok) error = folder + "/" + relative + ": " + reason();
      if (fd >= 0) close(fd);
    }
    close(dir);
  }
  if (ok) removeOthers(root, "", kept);
  close(root);
  return ok;
}

}  // namespace sim::disk
