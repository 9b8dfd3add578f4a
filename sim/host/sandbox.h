// The sandbox folder: everything a run of the module may write. Inside the
// confinement (confinement.h) it stands in for the device's disk, terminals
// and kernel setting:
//   ROOT/disk/                          the device's disk ("/ProgramFiles" ...)
//   ROOT/dev/pts/                       bound over /dev/pts
//   ROOT/proc/sys/vm/min_free_kbytes    bound over /proc/sys/vm/min_free_kbytes
//   ROOT/tmp/                           the hosting program's temporary files
// The layout is made and used without following a link: a link where one of
// these folders or files belongs is refused, never followed.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim::sandbox {

// Who a run's sandbox belongs to: the identity the confined program runs
// under (confinement.h).
struct Owner {
  uid_t uid;
  gid_t gid;
};

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

// A folder or file of a run held open from its check to its use, so that
// nothing can be put in its place between the two: what the confinement
// binds is the very file checked, whatever its path names later.
struct Held {
  std::string path;  // absolute, resolved
  Fd fd;             // O_PATH, never through a link
};

// The sandbox laid out for a run and held: the folder itself (locked for the
// run: a second run on it is refused), and the two files bound over the
// machine's, each checked to lie on the folder's own mount and to belong to
// OWNER.
struct Layout {
  Held root, setting, terminals;
};

// Checks ROOT as a sandbox folder (not empty, not the machine's "/", not in
// or above its /proc, /sys or /dev, holding no folder but the layout's),
// makes it where missing, owned by OWNER with mode 0700, and lays it out.
// Run as root, it first hands what root left in it to OWNER, never
// following a link. Nothing, with ERROR set to one line, on failure.
std::optional<Layout> prepare(const std::string& root, const Owner& owner, std::string& error);
// Checks, makes and holds a further folder the hosting program writes (its
// output), owned by OWNER.
std::optional<Held> prepareWritable(const std::string& folder, const Owner& owner, std::string& error);

// RELATIVE below BASE as a message names it ("." is left out).
std::string joinedPath(const std::string& base, const std::string& relative);
// The host paths of the layout under ROOT.
std::string disk(const std::string& root);
std::string terminal(const std::string& root, int number);
std::string kernelSetting(const std::string& root);
std::string temporary(const std::string& root);

// Leaves exactly the terminals NUMBERS in ROOT/dev/pts, each empty.
bool resetTerminals(const std::string& root, const std::vector<int>& numbers, std::string& error);
// Empties the kernel setting in place: the file itself is what is bound over
// the machine's, so it is never replaced.
bool clearKernelSetting(const std::string& root, std::string& error);
// Empties the disk folder, leaving only "/ProgramFiles".
bool resetDisk(const std::string& root, std::string& error);

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

}  // namespace sim::sandbox
