// The confinement every program that hosts the module runs in: namespaces of
// its own made by bwrap (a user namespace with no capabilities, and mount,
// pid, network, ipc, uts and cgroup namespaces), under an identity that is
// never the machine's root. In it the machine's whole file tree is
// read-only, the sandbox folder (sandbox.h) and the program's own output
// folders are the only writable places, a fresh /proc shows only the
// program's processes with /proc/sys read-only, a small /dev holds only the
// harmless devices, and the sandbox's files are bound over the two places
// the module reaches:
//   ROOT/proc/sys/vm/min_free_kbytes   over /proc/sys/vm/min_free_kbytes
//   ROOT/dev/pts                       over /dev/pts
// A call filter refuses what no namespace separates (unix sockets, io_uring,
// the kernel keyrings); the environment is fixed, stdin empty, the output
// relayed with its control bytes escaped; processes, memory, file sizes and
// the time are limited. The module then uses the real libc and a real
// /bin/sh: whatever path it writes, it meets the sandbox or a read-only file
// system, and whatever it leaves behind belongs to its own identity.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "sandbox.h"

namespace sim::confinement {

// The identity a run started by root gets: an ordinary user and group of its
// own, in no other group, owning nothing on the machine but its sandboxes.
// Any other caller stays itself.
constexpr uid_t kIdentity = 2000000000;
// Whether this process is the machine's root: uid 0 in the machine's own
// user namespace (root in a user namespace of its own is the user who made it).
bool machinesRoot();
sandbox::Owner identity();

struct Request {
  std::string root;                   // the sandbox folder
  std::vector<std::string> writable;  // further folders the program writes
  // Folders and files the program reads besides the machine's tree (its
  // build, checkout, module, the current folder); where the identity cannot
  // pass a folder above one, that folder is hidden and the file handed in.
  std::vector<std::string> reach;
  bool nested = false;  // the program confines programs of its own
  unsigned timeout = 0;  // seconds the whole run may take; 0 for no limit
  // Writable private memory the program may hold; 0 for the default, 1 GiB
  // (a program that emulates a machine needs that machine's memory more).
  uint64_t dataBytes = 0;
};

// How a confined run ended.
struct Outcome {
  int status = 0;         // its exit status; 128 + the signal that ended it
  bool timedOut = false;  // killed when its time was up
  std::string phase;      // what it said it did last (announce), if anything
};

// Whether this process runs confined on ROOT: the machine's tree is
// read-only, the kernel setting and terminals are ROOT's, and the process
// is no root to the kernel. Proven on the mounts and the identity, never
// taken from the environment.
bool activeOn(const std::string& root);
// The sandbox folder the environment names (check it with activeOn).
std::optional<std::string> namedRoot();
// Tells the program that started the confinement what this confined
// program does now ("in TAP_Main"), so that a run ended by a signal or the
// time limit is named with its place. Does nothing outside a confinement.
void announce(const char* phase);

// Whether a confinement can be set up here; otherwise WHY names in one line
// what is missing (bwrap, user namespaces).
bool available(std::string& why);
// Lays out and holds the sandbox and the writable folders, runs PROGRAM (its
// argument vector) confined on them and answers how it ended; nothing, with
// ERROR set to one line, when the sandbox or the confinement cannot be had.
std::optional<Outcome> run(const Request& request, const std::vector<std::string>& program, std::string& error);
// A run that did not end by itself (a signal, the time limit) in one line;
// empty for one that exited.
std::string describe(const Outcome& outcome, unsigned timeout);
// The one way a hosting program confines: runs PROGRAM as run() does, with
// the current folder handed in too, and answers the exit status the caller
// ends with: PROGRAM's, 124 past the time limit, 128 + the signal that ended
// it, 1 when no confinement or sandbox could be had. Every way but an exit
// gets one line on stderr, "WHO: ...".
int runToEnd(Request request, const std::vector<std::string>& program, const std::string& who);

}  // namespace sim::confinement
