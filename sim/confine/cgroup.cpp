#include "cgroup.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

#include "caller.h"
#include "file.h"

namespace sim::confine {
namespace {

bool put(const std::string& file, const std::string& value) {
  const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  if (fd >= 0) close(fd);
  return ok;
}

// The caller's own group in the unified hierarchy (its /proc/self/cgroup
// line starts "0::"), or else in the one whose controllers name memory.
std::string ownGroup(bool unified) {
  std::istringstream lines(readFile("/proc/self/cgroup").value_or(""));
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool memory = ("," + controllers + ",").find(",memory,") != std::string::npos;
    if (unified ? line.compare(0, 3, "0::") == 0 : memory) return line.substr(second + 1);
  }
  return "";
}

bool has(const std::string& file, const char* word) {
  std::istringstream words(readFile(file).value_or(""));
  for (std::string w; words >> w;)
    if (w == word) return true;
  return false;
}

}  // namespace

std::optional<MemoryGroup> MemoryGroup::make(uint64_t bytes, std::string& why) {
  if (!caller().machineRoot()) {
    why = "only the machine's root may make a memory cgroup";
    return std::nullopt;
  }
  const std::string name = "/steadyflow-run-" + std::to_string(getpid());
  // The unified hierarchy, where the caller's group hands the memory
  // controller down; else the memory hierarchy of old.
  const std::string unified = ownGroup(true);
  for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
    const std::string own = std::string(mount) + unified;
    if (unified.empty() || !has(own + "/cgroup.subtree_control", "memory")) continue;
    const std::string path = own + name;
    if (mkdir(path.c_str(), 0700) != 0) continue;
    MemoryGroup group(path, true);
    if (put(path + "/memory.max", std::to_string(bytes)) && put(path + "/memory.swap.max", "0")) return group;
  }
  const std::string own = ownGroup(false);
  if (!own.empty()) {
    const std::string path = "/sys/fs/cgroup/memory" + own + name;
    if (mkdir(path.c_str(), 0700) == 0) {
      MemoryGroup group(path, false);
      const bool swap = access((path + "/memory.memsw.limit_in_bytes").c_str(), F_OK) == 0;
      if (put(path + "/memory.limit_in_bytes", std::to_string(bytes)) &&
          (!swap || put(path + "/memory.memsw.limit_in_bytes", std::to_string(bytes))))
        return group;
    }
  }
  why = "no memory cgroup can be made here";
  return std::nullopt;
}

MemoryGroup::~MemoryGroup() {
  if (path_.empty()) return;
  // The group goes once its last process has; they are gone or going.
  for (int i = 0; i < 50 && rmdir(path_.c_str()) != 0 && errno == EBUSY; ++i) {
    const struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

bool MemoryGroup::enter() const { return put(path_ + "/cgroup.procs", "0"); }

bool MemoryGroup::exhausted() const {
  std::istringstream lines(readFile(path_ + (v2_ ? "/memory.events" : "/memory.oom_control")).value_or(""));
  for (std::string key, value; lines >> key >> value;)
    if (key == "oom_kill" && value != "0") return true;
  return false;
}

}  // namespace sim::confine
