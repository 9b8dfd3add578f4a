#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace sim::sandbox {
namespace {

constexpr char kTerminals[] = "dev/pts";
constexpr char kKernelFolder[] = "proc/sys/vm";
constexpr char kKernelFile[] = "min_free_kbytes";

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string reason() { return strerror(errno); }

// Opens the folder RELATIVE below the folder BASE one name at a time, never
// through a link, making each missing folder when MAKE is set. MISSING tells
// whether it failed because a folder does not exist.
int openFolder(const std::string& base, const std::string& relative, bool make, std::string& error,
               bool* missing = nullptr) {
  if (missing) *missing = false;
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
    sofar += "/" + name;
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

// Checks FOLDER, then makes it and its parents where missing (the path as
// given may pass links: it is the caller's choice of place) and answers it
// resolved, checked again.
std::optional<std::string> checkedFolder(const std::string& folder, const char* what, std::string& error) {
  if (folder.empty()) {
    error = std::string("the ") + what + " is an empty path; name a folder";
    return std::nullopt;
  }
  if (!allowedPlace(folder, what, error)) return std::nullopt;
  std::error_code failed;
  std::filesystem::create_directories(folder, failed);
  const auto path = allowedPlace(folder, what, error);
  if (!path) return std::nullopt;
  struct stat st;
  if (stat(path->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = std::string("the ") + what + " " + folder + " is no folder" + (failed ? " (" + failed.message() + ")" : "");
    return std::nullopt;
  }
  return path;
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

std::optional<std::string> prepare(const std::string& root, std::string& error) {
  auto path = checkedFolder(root, "sandbox folder", error);
  if (!path) return std::nullopt;
  for (const char* folder : {kTerminals, "disk/ProgramFiles", "tmp"}) {
    Fd fd(openFolder(*path, folder, true, error));
    if (!fd.ok()) return std::nullopt;
  }
  Fd vm(openFolder(*path, kKernelFolder, true, error));
  if (!vm.ok()) return std::nullopt;
  Fd setting(openRegular(vm.get(), kKernelFile, kernelSetting(*path), false, error));
  if (!setting.ok()) return std::nullopt;
  return path;
}

std::optional<std::string> prepareWritable(const std::string& folder, std::string& error) {
  return checkedFolder(folder, "output folder", error);
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
    if (errno != ENOENT) error = "cannot read " + shown + ": " + reason();
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    error = shown + (S_ISLNK(st.st_mode) ? " is a link; links are not followed"
                                         : " is " + kindOf(st.st_mode) + ", not a regular file; not read");
    return std::nullopt;
  }
  Fd file(openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.ok() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "cannot read " + shown;
    return std::nullopt;
  }
  FileBytes out;
  out.size = static_cast<uint64_t>(st.st_size);
  out.bytes.resize(static_cast<size_t>(std::min<uint64_t>(out.size, limit)));
  size_t done = 0;
  while (done < out.bytes.size()) {
    const ssize_t n = read(file.get(), &out.bytes[done], out.bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.bytes.resize(done);
  return out;
}

}  // namespace sim::sandbox
