#include "disk_archive.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "file.h"
#include "run_limits.h"

namespace sim::disk {
namespace {

std::string reason() { return strerror(errno); }

std::vector<std::string> names(int folder) {
  std::vector<std::string> out;
  DIR* dir = fdopendir(dup(folder));
  if (dir == nullptr) return out;
  while (const dirent* e = readdir(dir))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
  closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

struct Counts {
  size_t entries = 0;
  uint64_t bytes = 0;
};

bool packFolder(int folder, const std::string& inside, const std::string& shown, std::string& archive, Counts& counts,
                std::string& error, std::vector<std::string>* skipped, const std::string& diskPath) {
  for (const std::string& name : names(folder)) {
    const std::string path = inside + "/" + name, where = shown + "/" + name;
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      error = where + ": " + reason();
      return false;
    }
    if (++counts.entries > limits::kDiskEntries) {
      error = shown + ": the disk holds more than " + std::to_string(limits::kDiskEntries) + " entries";
      return false;
    }
    const int open = openat(
        folder, name.c_str(),
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
      ok = tar::append(archive, {path, tar::Kind::Folder, '5', ""}, error) &&
           packFolder(open, path, where, archive, counts, error, skipped, diskPath + "/" + name);
    } else {
      counts.bytes += static_cast<uint64_t>(st.st_size);
      std::string bytes;
      ok = counts.bytes <= limits::kDiskBytes && readAll(open, static_cast<size_t>(st.st_size), bytes);
      if (!ok)
        error = counts.bytes > limits::kDiskBytes
                    ? shown + ": the disk holds more than " + std::to_string(limits::kDiskBytes) + " bytes"
                    : where + ": " + reason();
      ok = ok && tar::append(archive, {path, tar::Kind::File, '0', bytes}, error);
    }
    close(open);
    if (!ok) return false;
  }
  return true;
}

// Opens the folder RELATIVE below ROOT one name at a time, never through a
// link, making what is missing.
int makeFolder(int root, const std::string& relative, std::string& error) {
  int fd = dup(root);
  for (size_t start = 0; fd >= 0 && start < relative.size();) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
      error = relative + ": " + reason();
      close(fd);
      return -1;
    }
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) error = relative + ": " + (errno == ELOOP || errno == ENOTDIR ? "a link or no folder" : reason());
    close(fd);
    fd = next;
  }
  return fd;
}

// Removes NAME in FOLDER and all below it, never following a link.
bool remove(int folder, const std::string& name) {
  struct stat st;
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlinkat(folder, name.c_str(), 0) == 0;
  const int sub = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  bool ok = sub >= 0;
  if (ok)
    for (const std::string& inner : names(sub)) ok = remove(sub, inner) && ok;
  if (sub >= 0) close(sub);
  return ok && unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0;
}

// Removes the folders and regular files in FOLDER (at RELATIVE) not among
// KEPT; anything else there (a link, a FIFO) was never handed in, and stays.
void removeOthers(int folder, const std::string& relative, const std::map<std::string, tar::Kind>& kept) {
  for (const std::string& name : names(folder)) {
    const std::string path = relative.empty() ? name : relative + "/" + name;
    const auto it = kept.find(path);
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)))
      continue;
    if (it == kept.end()) {
      remove(folder, name);
    } else if (it->second == tar::Kind::Folder) {
      const int sub = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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
  const bool ok = tar::append(archive, {prefix, tar::Kind::Folder, '5', ""}, error) &&
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
      if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) remove(dir, name);
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
