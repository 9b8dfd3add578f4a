// The confinement every program that hosts the module runs in: namespaces of
// its own made by bwrap (a user namespace with no capabilities, and mount,
// pid, network, ipc and uts namespaces). In it the machine's whole file tree
// is read-only, the sandbox folder (sandbox.h) and the program's own output
// folders are the only writable places, a fresh /proc shows only the
// program's processes with /proc/sys read-only, /dev holds only the harmless
// devices, and the sandbox's files are bound over the two places the module
// reaches:
//   ROOT/proc/sys/vm/min_free_kbytes   over /proc/sys/vm/min_free_kbytes
//   ROOT/dev/pts                       over /dev/pts
// A call filter refuses what no namespace separates: making a unix socket
// (one would reach any service's socket on the tree) and the kernel keyrings.
// The module then uses the real libc and a real /bin/sh: whatever path it
// writes, it meets the sandbox or a read-only file system.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sim::confinement {

struct Request {
  std::string root;                   // the sandbox folder, laid out
  std::vector<std::string> writable;  // further folders the program writes
};

// Whether this process runs confined on ROOT: the machine's tree is
// read-only and the kernel setting and terminals are ROOT's. Checked on the
// mounts themselves, not taken on trust from the environment.
bool activeOn(const std::string& root);
// The sandbox folder of the confinement this process was started in, as the
// environment names it (check it with activeOn).
std::optional<std::string> namedRoot();

// Whether a confinement can be set up here, tried with a trivial program;
// otherwise WHY tells in one line why not.
bool available(const Request& request, std::string& why);
// Runs PROGRAM (its argument vector) confined and answers its exit status,
// 128 + the signal when it was killed, 127 when it could not be started.
int run(const Request& request, const std::vector<std::string>& program);
// The argument vector of that run, for display and tests.
std::vector<std::string> command(const Request& request, const std::vector<std::string>& program);

}  // namespace sim::confinement
