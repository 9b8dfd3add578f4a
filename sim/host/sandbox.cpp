#include "sandbox.h"

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
#include "folder.h"
#include "layout.h"
#include "tar.h"

namespace sim::sandbox {
namespace {

std::string reason() { return strerror(errno); }

// Opens the folder RELATIVE below the folder BASE one name at a time, never
// through a link. MISSING tells whether it failed because a folder does not
// exist.
int openFolder(const std::string& base, const std::string& relative, std::string& error, bool& missing) {
  // The machine's "/" by a name qemu-mipsel -L leaves alone: it takes "/"
  // itself for its sysroot.
  Fd root(open(base == "/" ? "/proc/self/root" : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string reached;
  const int fd = root.ok() ? folder::openBelow(root.get(), relative, false, &reached) : -1;
  if (fd >= 0) return fd;
  missing = errno == ENOENT;
  const std::string where = root.ok() ? joinedPath(base, reached) : base;
  error = errno == ELOOP || errno == ENOTDIR ? where + " is a link or no folder; the sandbox uses only real folders"
                                             : "cannot open " + where + ": " + reason();
  return -1;
}

// What a file that is no regular file is, for a message.
std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "something else";
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
    if (folder::within(path, system)) {
      error = std::string("the ") + what + " " + folder + " lies in the machine's " + system;
      return std::nullopt;
    }
  }
  return path;
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
    for (const std::string& name : folder::names(held->get())) {
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
    if (diskHeld->ok() && !folder::names(diskHeld->get(), 1).empty() && !isFolder(diskHeld->get(), "ProgramFiles")) {
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
    return tar::append(archive, {layout::kDisk, tar::Kind::Folder}, error) &&
           tar::append(archive, {std::string(layout::kDisk) + "/ProgramFiles", tar::Kind::Folder}, error);
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
  if (fd.ok() && folder::empty(fd.get())) return true;
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
  Fd dir(openFolder(base, folder, folderError, missing));
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

std::optional<FileBytes> readRegular(const std::string& path, size_t limit, std::string& error) {
  const size_t slash = path.rfind('/');
  return readRegular(path.substr(0, slash), path.substr(slash + 1), limit, error);
}

}  // namespace sim::sandbox
