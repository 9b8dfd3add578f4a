// Where things are, in the one place that names them: the run's room inside
// the confinement, what stands in there for the device's kernel setting and
// terminals, and the sandbox folder a caller keeps between runs.
//
// Inside the confinement (confine.h), a room of size-capped tmpfs:
//   /run/steadyflow/disk/               the device's disk ("/ProgramFiles" ...)
//   /run/steadyflow/tmp/                the hosting program's scratch files
//   /dev/pts/N                          a terminal: a plain file the run reads back
//   /proc/sys/vm/min_free_kbytes        the kernel setting: a plain file too
// Outside, the sandbox folder a caller names (devsim --sandbox DIR):
//   DIR/disk/                           the disk, copied into the room and back
// (folders dev, proc and tmp that earlier versions kept there are left alone).
// A run's input (devsim's, and the VM's disk channel) is a tar of disk/ and
// run/, which holds the module as run/module.tap.
#pragma once

namespace sim::layout {

constexpr char kRoom[] = "/run/steadyflow";
constexpr char kDisk[] = "disk";
constexpr char kScratch[] = "tmp";
constexpr char kTerminals[] = "/dev/pts";
constexpr char kKernelSetting[] = "/proc/sys/vm/min_free_kbytes";
constexpr char kInput[] = "run";
constexpr char kInputModule[] = "run/module.tap";
// The device's terminals a module may try: /dev/pts/0 to /dev/pts/19.
constexpr int kTerminalCount = 20;
// What a sandbox folder may hold: the disk, and what earlier versions laid
// out beside it.
constexpr const char* kSandboxEntries[] = {"disk", "dev", "proc", "tmp"};

}  // namespace sim::layout
