#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "disk_archive.h"
#include "file.h"
#include "layout.h"
#include "tar.h"

namespace sim::sandbox {
namespace {

std::string reason() { return strerror(errno); }

// Opens the folder RELATIVE below the folder BASE one name at a time, never
// through a link, making each missing folder when MAKE is set. MISSING
// tells whether it failed because a folder does not exist.
int openFolder(const std::string& base, const std::string& relative, bool make, std::string& error,
               bool* missing = nullptr) {
  if (missing) *missing = false;
  // The machine's "/" by a name qemu-mipsel -L leaves alone: it takes "/"
  // itself for its sysroot.
  int fd = open(base == "/" ? "/proc/self/root" : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (missing) *missing = errno == ENOENT;
    error = "cannot open " + base + ": " + reason();
    return -1;
  }
  std::string sofar = base;
  for (size_t start = 0; start < relative.size();) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    sofar += (sofar.back() == '/' ? "" : "/") + name;
    if (make && mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot make " + sofar + ": " + reason();
      close(fd);
      return -1;
    }
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int why = errno;
    close(fd);
    if (next < 0) {
      if (missing) *missing = why == ENOENT;
      error = why == ELOOP || why == ENOTDIR ? sofar + " is a link or no folder; the sandbox uses only real folders"
                                             : "cannot open " + sofar + ": " + strerror(why);
      return -1;
    }
    fd = next;
  }
  return fd;
}

// Removes everything in the folder DIR without following a link.
bool removeContents(int dir) {
  DIR* list = fdopendir(dup(dir));
  if (list == nullptr) return false;
  bool ok = true;
  while (dirent* e = readdir(list)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Fd sub(openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      ok = sub.ok() && removeContents(sub.get()) && unlinkat(dir, e->d_name, AT_REMOVEDIR) == 0 && ok;
    } else {
      ok = unlinkat(dir, e->d_name, 0) == 0 && ok;
    }
  }
  closedir(list);
  return ok;
}

// What a file that is no regular file is, for a message.
std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "something else";
}

bool within(const std::string& path, const std::string& folder) {
  return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// Where FOLDER is or would be, resolved as far as it exists; nothing when it
// is a place that must never be written: the machine's "/", or in its /proc,
// /sys or /dev.
std::optional<std::string> allowedPlace(const std::string& folder, const char* what, std::string& error) {
  std::error_code failed;
  const std::string path = std::filesystem::weakly_canonical(std::filesystem::absolute(folder), failed);
  if (failed) {
    error = std::string("cannot use ") + folder + " as the " + what + ": " + failed.message();
    return std::nullopt;
  }
  if (path == "/") {
    error = std::string("the ") + what + " " + folder + " is the machine's /; name a folder of its own";
    return std::nullopt;
  }
  for (const char* system : {"/proc", "/sys", "/dev"}) {
    if (within(path, system)) {
      error = std::string("the ") + what + " " + folder + " lies in the machine's " + system;
      return std::nullopt;
    }
  }
  return path;
}

// The entries of the folder FD, "." and ".." left out.
std::vector<std::string> entries(int fd) {
  std::vector<std::string> out;
  DIR* list = fdopendir(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (list == nullptr) return out;
  while (dirent* e = readdir(list))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
  closedir(list);
  return out;
}

bool isFolder(int dir, const std::string& name) {
  struct stat st;
  return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// The folder at PATH (resolved), held; an absent one gives no descriptor
// and no error. One that is a link or no folder is refused.
std::optional<Fd> existingFolder(const std::string& path, const std::string& shown, std::string& error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return Fd();
    error = shown + ": " + reason();
    return std::nullopt;
  }
  Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) {
    error = shown + ": no folder";
    return std::nullopt;
  }
  return fd;
}

}  // namespace

std::string joinedPath(const std::string& base, const std::string& relative) {
  if (base == ".") return relative;
  return base.empty() || base.back() != '/' ? base + "/" + relative : base + relative;
}

std::optional<Sandbox> Sandbox::open(const std::string& folder, const std::string& disk, std::string& error) {
  if (folder.empty()) {
    error = "the sandbox folder is an empty path; name a folder";
    return std::nullopt;
  }
  const auto path = allowedPlace(folder, "sandbox folder", error);
  if (!path) return std::nullopt;
  auto held = existingFolder(*path, folder, error);
  if (!held) return std::nullopt;
  Sandbox sandbox;
  sandbox.path_ = *path;
  sandbox.disk_ = *path + "/" + layout::kDisk;
  if (held->ok()) {
    for (const std::string& name : entries(held->get())) {
      const bool layout = std::any_of(std::begin(layout::kSandboxEntries), std::end(layout::kSandboxEntries),
                                      [&](const char* entry) { return name == entry; });
      if (!layout && isFolder(held->get(), name)) {
        error = folder + ": holds the folder " + name +
                ", which is no part of a sandbox; name an empty folder or one devsim laid out";
        return std::nullopt;
      }
    }
    if (flock(held->get(), LOCK_EX | LOCK_NB) != 0) {
      error = folder + ": the sandbox is in use by another run";
      return std::nullopt;
    }
    sandbox.lock_ = std::move(*held);
  }
  if (!disk.empty()) {
    const auto diskPath = allowedPlace(disk, "disk folder", error);
    if (!diskPath) return std::nullopt;
    auto diskHeld = existingFolder(*diskPath, disk, error);
    if (!diskHeld) return std::nullopt;
    if (diskHeld->ok() && !entries(diskHeld->get()).empty() && !isFolder(diskHeld->get(), "ProgramFiles")) {
      error = disk + ": holds no folder ProgramFiles, so it is no device's disk; name an empty folder or a disk";
      return std::nullopt;
    }
    sandbox.disk_ = *diskPath;
  }
  return sandbox;
}

bool Sandbox::pack(std::string& archive, std::vector<std::string>& skipped, std::string& error) const {
  struct stat st;
  if (lstat(disk_.c_str(), &st) != 0 && errno == ENOENT)
    return tar::append(archive, {layout::kDisk, tar::Kind::Folder, '5', ""}, error) &&
           tar::append(archive, {std::string(layout::kDisk) + "/ProgramFiles", tar::Kind::Folder, '5', ""}, error);
  return disk::pack(disk_, layout::kDisk, archive, error, &skipped);
}

bool Sandbox::keep(const std::string& archive, std::vector<std::string>& skipped, std::string& error) {
  std::error_code failed;
  std::filesystem::create_directories(disk_, failed);
  if (failed) {
    error = disk_ + ": " + failed.message();
    return false;
  }
  std::vector<tar::Entry> got;
  if (!disk::unpack(archive, got, error)) {
    error = "the run gave back a disk devsim cannot read: " + error;
    return false;
  }
  return disk::apply(got, layout::kDisk, disk_, skipped, error);
}

bool emptyFolder(const std::string& path, std::string& error) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.ok() && removeContents(fd.get())) return true;
  error = "cannot empty " + path;
  return false;
}

std::optional<FileBytes> readRegular(const std::string& base, const std::string& relative, size_t limit,
                                     std::string& error) {
  error.clear();
  const size_t slash = relative.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : relative.substr(0, slash);
  const std::string name = relative.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::string shown = joinedPath(base, relative);
  std::string folderError;
  bool missing = false;
  Fd dir(openFolder(base, folder, false, folderError, &missing));
  if (!dir.ok()) {
    if (!missing) error = folderError;
    return std::nullopt;
  }
  struct stat st;
  if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) error = shown + ": " + reason();
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    error = shown + (S_ISLNK(st.st_mode) ? ": a link; links are not followed"
                                         : ": " + kindOf(st.st_mode) + ", not a regular file; not read");
    return std::nullopt;
  }
  Fd file(openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.ok() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = shown + ": " + (file.ok() ? "no longer a regular file; not read" : reason());
    return std::nullopt;
  }
  FileBytes out;
  out.size = static_cast<uint64_t>(st.st_size);
  if (!readAll(file.get(), static_cast<size_t>(std::min<uint64_t>(out.size, limit)), out.bytes)) {
    error = shown + ": " + reason();
    return std::nullopt;
  }
  return out;
}

}  // namespace sim::sandbox
