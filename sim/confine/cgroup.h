// A memory cgroup for one run, where the machine offers one to the caller:
// all the run's memory counted together, shared memory, memfds and its
// tmpfs rooms included, which a per-process limit cannot see. Made below
// the caller's own group, in the unified hierarchy when its memory
// controller is on there, else in the memory hierarchy of old; only the
// machine's root may make one.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

namespace sim::confine {

class MemoryGroup {
 public:
  // A group limited to BYTES (swap included); nothing, with WHY set, where
  // none can be had.
  static std::optional<MemoryGroup> make(uint64_t bytes, std::string& why);
  MemoryGroup(MemoryGroup&& other) noexcept : path_(std::move(other.path_)), v2_(other.v2_) { other.path_.clear(); }
  MemoryGroup& operator=(MemoryGroup&&) = delete;
  ~MemoryGroup();

  // In the child about to exec: moves the calling process into the group.
  bool enter() const;
  // Whether the kernel had to kill a process of the run for want of memory.
  bool exhausted() const;

 private:
  MemoryGroup(std::string path, bool v2) : path_(std::move(path)), v2_(v2) {}
  std::string path_;
  bool v2_;
};

}  // namespace sim::confine
