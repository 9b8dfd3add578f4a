// What one confined run may use, stated once. The confinement sets them
// (confine.h); devsim and the documents quote them from here.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sim::limits {

// Processes (threads counted) of the run's identity, open files per process,
// the size of one file, and writable private memory (an address-space limit
// would refuse qemu-mipsel, which reserves the guest's 4 GiB at once; a
// sanitized program, whose shadow memory takes no limit, gets none).
constexpr unsigned kProcesses = 256;
constexpr unsigned kOpenFiles = 256;
constexpr uint64_t kFileBytes = 128u << 20;
constexpr uint64_t kDataBytes = 1u << 30;
// All the run's memory, shared memory, memfds and its tmpfs rooms included,
// where the machine offers a memory cgroup to the caller (root): the
// private memory above and the rooms below, and some slack.
constexpr uint64_t kMemoryBytes = kDataBytes + (512u << 20);
// The room (layout.h): the disk, the scratch folder, /dev and the terminals.
constexpr uint64_t kDiskBytes = 16u << 20;
constexpr size_t kDiskEntries = 4096;
constexpr uint64_t kScratchBytes = 256u << 20;
constexpr uint64_t kDevBytes = 1u << 20;
constexpr uint64_t kTerminalBytes = 1u << 20;
// What comes out of a run: the output relayed to the caller, the records
// and the disk it gives back.
constexpr size_t kOutputBytes = 1u << 20;
constexpr size_t kRecordBytes = 16u << 20;
constexpr size_t kDiskChannelBytes = 3 * kDiskBytes;
// A run in the VM: what its console may show, and beyond the guest's memory
// (devsim --memory) what qemu itself and its translated code take.
constexpr size_t kVmConsoleBytes = 4u << 20;
constexpr uint64_t kVmQemuBytes = 512u << 20;
// The whole run, unless the caller says otherwise (devsim --timeout).
constexpr unsigned kSeconds = 30;

}  // namespace sim::limits
