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

#include <filesystem>

#include "file.h"

namespace sim::sandbox {
namespace {

constexpr char kTerminals[] = "dev/pts";
constexpr char kKernelFolder[] = "proc/sys/vm";
constexpr char kKernelFile[] = "min_free_kbytes";

std::string reason() { return strerror(errno); }

// Whether this process runs as root, and so makes a run's sandbox for an
// identity other than its own.
bool asRoot() { return geteuid() == 0; }

// Makes the file or folder FD, named SHOWN, OWNER's. A run as root hands
// OWNER what root made (chown clears any set-user-id bit); anything of
// another user is refused.
bool own(int fd, const std::string& shown, const Owner& owner, std::string& error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    error = "cannot read " + shown + ": " + strerror(errno);
    return false;
  }
  if (st.st_uid == owner.uid) return true;
  if (asRoot() && st.st_uid == 0 && fchownat(fd, "", owner.uid, owner.gid, AT_EMPTY_PATH) == 0) return true;
  error = shown + " belongs to uid " + std::to_string(st.st_uid) + ", not to the run's identity (uid " +
          std::to_string(owner.uid) + "); remove it, or give it to that uid";
  return false;
}

// Opens the folder RELATIVE below the folder BASE one name at a time, never
// through a link, making each missing folder when MAKE is set (OWNER's when
// given). MISSING tells whether it failed because a folder does not exist.
int openFolder(const std::string& base, const std::string& relative, bool make, std::string& error,
               bool* missing = nullptr, const Owner* owner = nullptr) {
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
    if (owner != nullptr && !own(fd, sofar, *owner, error)) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

// Opens the regular file NAME in the folder DIR for writing, never through a
// link and never blocking; TRUNCATE empties it.
int openRegular(int dir, const char* name, const std::string& shown, bool truncate, std::string& error) {
  const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = errno == ELOOP ? shown + " is a link; the sandbox uses only real files" : shown + " is no regular file";
    if (fd >= 0) close(fd);
    return -1;
  }
  if (truncate && ftruncate(fd, 0) != 0) {
    error = "cannot empty " + shown + ": " + reason();
    close(fd);
    return -1;
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

// Checks FOLDER, makes its parents where missing (the path as given may pass
// links: it is the caller's choice of place) and the folder itself, and
// holds it, OWNER's; MODE, when given, becomes its mode.
std::optional<Held> checkedFolder(const std::string& folder, const char* what, const Owner& owner, mode_t mode,
                                  std::string& error) {
  if (folder.empty()) {
    error = std::string("the ") + what + " is an empty path; name a folder";
    return std::nullopt;
  }
  auto path = allowedPlace(folder, what, error);
  if (!path) return std::nullopt;
  std::error_code failed;
  std::filesystem::create_directories(std::filesystem::path(*path).parent_path(), failed);
  // From the resolved place on, no link is followed: no name on the way can
  // be swapped for one between this check and the folder's use.
  const size_t slash = path->rfind('/');
  Fd parent(openFolder("/", path->substr(1, slash), false, error));
  if (!parent.ok()) return std::nullopt;
  const std::string name = path->substr(slash + 1);
  if (mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
    error = std::string("cannot make the ") + what + " " + folder + ": " + reason();
    return std::nullopt;
  }
  Held held{*path, Fd(openat(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))};
  if (!held.fd.ok()) {
    error = std::string("the ") + what + " " + folder + " is no folder (" + reason() + ")";
    return std::nullopt;
  }
  if (!own(held.fd.get(), *path, owner, error)) return std::nullopt;
  if (mode != 0 && fchmod(Fd(openat(held.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)).get(), mode) != 0) {
    error = "cannot make " + *path + " private: " + reason();
    return std::nullopt;
  }
  return held;
}

// What may stand in a sandbox folder: the layout's folders, and files.
// Another folder means it is no sandbox (a mistyped path, a home folder),
// and nothing in it is touched.
bool onlyLayout(int root, const std::string& shown, std::string& error) {
  DIR* list = fdopendir(openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (list == nullptr) {
    error = "cannot list " + shown + ": " + reason();
    return false;
  }
  std::string stranger;
  while (dirent* e = readdir(list)) {
    const std::string name = e->d_name;
    struct stat st;
    if (name == "." || name == ".." || name == "disk" || name == "dev" || name == "proc" || name == "tmp") continue;
    if (fstatat(root, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) stranger = name;
  }
  closedir(list);
  if (stranger.empty()) return true;
  error = shown + " holds the folder " + stranger +
          ", which is no part of a sandbox; name an empty folder or one devsim laid out";
  return false;
}

// Hands OWNER everything root left below the folder DIR, never following a
// link: a file with more than one name keeps its owner, since another name
// may stand outside the sandbox.
void adopt(int dir, const Owner& owner) {
  DIR* list = fdopendir(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (list == nullptr) return;
  while (dirent* e = readdir(list)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_uid == 0 && (S_ISDIR(st.st_mode) || st.st_nlink == 1))
      (void)fchownat(dir, e->d_name, owner.uid, owner.gid, AT_SYMLINK_NOFOLLOW);
    if (S_ISDIR(st.st_mode)) {
      Fd sub(openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.ok()) adopt(sub.get(), owner);
    }
  }
  closedir(list);
}

// The mount FD lies on (its id, or its device where the kernel gives none).
uint64_t mountOf(int fd) {
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) == 0 && (st.stx_mask & STATX_MNT_ID) != 0)
    return st.stx_mnt_id;
  struct stat old;
  return fstat(fd, &old) == 0 ? old.st_dev : 0;
}

// Holds the file or folder RELATIVE below ROOT, which must lie on ROOT's own
// mount: no file system of the kernel's (procfs, sysfs, devpts) and no mount
// in the sandbox.
std::optional<Held> holdBelow(const Held& root, const std::string& relative, int flags, std::string& error) {
  const size_t slash = relative.rfind('/');
  Fd folder(openFolder(root.path, relative.substr(0, slash), false, error));
  if (!folder.ok()) return std::nullopt;
  Held held{root.path + "/" + relative,
            Fd(openat(folder.get(), relative.c_str() + slash + 1, O_PATH | O_NOFOLLOW | O_CLOEXEC | flags))};
  if (!held.fd.ok()) {
    error = "cannot hold " + held.path + ": " + reason();
    return std::nullopt;
  }
  if (mountOf(held.fd.get()) != mountOf(root.fd.get())) {
    error = held.path + " lies on another file system than its sandbox; the sandbox uses only its own files";
    return std::nullopt;
  }
  return held;
}

}  // namespace

std::string joinedPath(const std::string& base, const std::string& relative) {
  if (base == ".") return relative;
  return base.empty() || base.back() != '/' ? base + "/" + relative : base + relative;
}

std::string disk(const std::string& root) { return root + "/disk"; }
std::string terminal(const std::string& root, int number) {
  return root + "/" + kTerminals + "/" + std::to_string(number);
}
std::string kernelSetting(const std::string& root) { return root + "/" + kKernelFolder + "/" + kKernelFile; }
std::string temporary(const std::string& root) { return root + "/tmp"; }

std::optional<Layout> prepare(const std::string& root, const Owner& owner, std::string& error) {
  auto held = checkedFolder(root, "sandbox folder", owner, 0700, error);
  if (!held) return std::nullopt;
  const std::string& path = held->path;
  Fd list(openat(held->fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!list.ok() || !onlyLayout(list.get(), path, error)) return std::nullopt;
  if (flock(list.get(), LOCK_EX | LOCK_NB) != 0) {
    error = "the sandbox " + path + " is in use by another run";
    return std::nullopt;
  }
  if (asRoot()) adopt(list.get(), owner);
  for (const char* folder : {kTerminals, "disk/ProgramFiles", "tmp"}) {
    Fd fd(openFolder(path, folder, true, error, nullptr, &owner));
    if (!fd.ok()) return std::nullopt;
  }
  Fd vm(openFolder(path, kKernelFolder, true, error, nullptr, &owner));
  if (!vm.ok()) return std::nullopt;
  Fd setting(openRegular(vm.get(), kKernelFile, kernelSetting(path), false, error));
  if (!setting.ok() || !own(setting.get(), kernelSetting(path), owner, error)) return std::nullopt;
  auto file = holdBelow(*held, std::string(kKernelFolder) + "/" + kKernelFile, 0, error);
  auto terminals = file ? holdBelow(*held, kTerminals, O_DIRECTORY, error) : std::nullopt;
  if (!terminals) return std::nullopt;
  // The lock is the listing descriptor's: it goes with the layout.
  held->fd = std::move(list);
  return Layout{std::move(*held), std::move(*file), std::move(*terminals)};
}

std::optional<Held> prepareWritable(const std::string& folder, const Owner& owner, std::string& error) {
  return checkedFolder(folder, "output folder", owner, 0, error);
}

bool resetTerminals(const std::string& root, const std::vector<int>& numbers, std::string& error) {
  Fd pts(openFolder(root, kTerminals, false, error));
  if (!pts.ok()) return false;
  if (!removeContents(pts.get())) {
    error = "cannot empty " + root + "/" + kTerminals;
    return false;
  }
  for (int n : numbers) {
    Fd made(openRegular(pts.get(), std::to_string(n).c_str(), terminal(root, n), true, error));
    if (!made.ok()) return false;
  }
  return true;
}

bool clearKernelSetting(const std::string& root, std::string& error) {
  Fd vm(openFolder(root, kKernelFolder, false, error));
  if (!vm.ok()) return false;
  Fd setting(openRegular(vm.get(), kKernelFile, kernelSetting(root), true, error));
  return setting.ok();
}

bool resetDisk(const std::string& root, std::string& error) {
  Fd folder(openFolder(root, "disk", false, error));
  if (!folder.ok()) return false;
  if (!removeContents(folder.get()) || mkdirat(folder.get(), "ProgramFiles", 0755) != 0) {
    error = "cannot empty " + disk(root);
    return false;
  }
  return true;
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
