// The run of a module in the VM (devsim run --vm DIR): a MIPS Linux kernel
// under qemu-system-mipsel, booted from DIR (make vm), running the device
// image's loader once on the session's disk. qemu runs inside this program's
// confinement, with no device but the console, a channel for the records
// and the disk channel, each bounded here:
//   the disk      copied into the VM and back as a tar (tar.h) on a disk
//                 channel of fixed size; in the VM a tmpfs of kDiskBytes
//                 and kDiskFiles; only folders and regular files cross it
//   the records   what the loader and vmrun write (report_lines.h), read
//                 strictly, at most kRecordBytes
//   the console   the kernel's messages, at most kConsoleBytes, scanned for
//                 a panic or an oops
//   the memory    --memory MiB
//   the time      the run's --timeout; then the VM is killed
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "options.h"
#include "run.h"
#include "session.h"

namespace devsim::vm {

constexpr uint64_t kDiskBytes = 16u << 20;
constexpr size_t kDiskFiles = 4096;
constexpr size_t kRecordBytes = 16u << 20;
constexpr size_t kConsoleBytes = 4u << 20;
// Beyond the guest's memory: what qemu itself and its translated code take.
constexpr uint64_t kQemuBytes = 512u << 20;

// Runs the session's module in the VM at O.vm and reads what it did. A VM
// whose kernel panics or oopses, or that stops answering, ends devsim with
// one line naming it and exit status 4; a loader that refuses the module,
// or records or a disk devsim cannot read, with one line and 1.
Outcome run(const Options& o, const sim::Session& session);

}  // namespace devsim::vm
