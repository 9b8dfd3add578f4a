// The sandbox folder a caller keeps between runs (layout.h), as devsim's
// unconfined side uses it, and the bounded, link-free reads and writes of
// the files there and in a run's room.
//
// No run ever sees the sandbox folder: its disk is copied into the run's
// room and what the run gives back is copied out (disk_archive.h), by the
// caller, as the caller. So its owner and mode stay the caller's, and a
// folder that is no sandbox is refused before anything in it is touched.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim::sandbox {

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

// A caller's sandbox, checked and locked for one run; made only once a run
// gives back a disk to keep.
class Sandbox {
 public:
  // FOLDER as a sandbox: absent, or a folder holding nothing but the layout's
  // entries; not the machine's "/", nor in its /proc, /sys or /dev. DISK,
  // when given, is the folder standing for the disk instead of FOLDER/disk:
  // absent, empty, or holding ProgramFiles. The sandbox, where it exists, is
  // locked for the run: a second run on it is refused. Nothing, with ERROR
  // set to one line, when it is no sandbox or in use.
  static std::optional<Sandbox> open(const std::string& folder, const std::string& disk, std::string& error);
  const std::string& path() const { return path_; }
  const std::string& disk() const { return disk_; }
  // The disk as a tar under "disk" (disk_archive.h); an absent disk is an
  // empty one holding ProgramFiles. What is no folder or regular file is
  // left out, named in SKIPPED, and left where it is.
  bool pack(std::string& archive, std::vector<std::string>& skipped, std::string& error) const;
  // Keeps what a run gave back: the sandbox and its disk made where
  // missing, then the disk made to match (disk_archive.h apply).
  bool keep(const std::string& archive, std::vector<std::string>& skipped, std::string& error);

 private:
  Sandbox() = default;
  std::string path_, disk_;
  Fd lock_;
};

// RELATIVE below BASE as a message names it ("." is left out).
std::string joinedPath(const std::string& base, const std::string& relative);
// Empties the folder PATH, never following a link.
bool emptyFolder(const std::string& path, std::string& error);

// The file RELATIVE below the folder BASE as a report shows it: only a regular
// file, reached without passing a link, never blocking on a FIFO or device,
// at most LIMIT bytes kept. Nothing, with ERROR set, when it is missing or
// no such file.
struct FileBytes {
  uint64_t size = 0;  // the whole file's length
  std::string bytes;  // its first LIMIT bytes
};
std::optional<FileBytes> readRegular(const std::string& base, const std::string& relative, size_t limit,
                                     std::string& error);
// The same for the file at the absolute PATH, from its own folder on.
std::optional<FileBytes> readRegular(const std::string& path, size_t limit, std::string& error);

}  // namespace sim::sandbox
