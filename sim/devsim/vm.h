// The run of a module in the VM (devsim run --vm DIR): a MIPS Linux kernel
// under qemu-system-mipsel, booted from DIR (make vm), running the device
// image's loader once on the session's disk. qemu runs inside devsim's
// confinement, with no device but the console, a channel for the records
// and the disk channel, each bounded (run_limits.h):
//   the disk      copied into the VM and back as a tar (disk_archive.h) on
//                 a disk channel of fixed size; in the VM a tmpfs of the
//                 disk's caps; only folders and regular files cross it
//   the records   what the loader and vmrun write (report_lines.h), read
//                 strictly, at most kRecordBytes
//   the console   the kernel's messages, at most kVmConsoleBytes, scanned
//                 for a panic or an oops
//   the memory    --memory MiB
//   the time      the run's --timeout; then the VM is killed
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "options.h"
#include "run.h"
#include "run_limits.h"
#include "session.h"

namespace devsim::vm {

// Runs the session's module in the VM at O.vm and reads what it did. A VM
// whose kernel panics or oopses, or that stops answering, ends devsim with
// one line naming it and exit status 4; a loader that refuses the module,
// or records or a disk devsim cannot read, with one line and 1.
Outcome run(const Options& o, const sim::Session& session);

}  // namespace devsim::vm
