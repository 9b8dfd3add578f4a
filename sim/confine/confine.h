// The confinement every program that hosts a module runs in, and its one
// entry: a request in, an outcome out.
//
// bwrap makes namespaces of the run's own (a user namespace with no
// capabilities, and mount, pid, network, ipc, uts and cgroup namespaces)
// under an identity that is never the machine's root (caller.h). Its root is
// an empty tmpfs, read-only, into which only what the run needs is bound:
// the system's programs and libraries (/usr), the loader's cache, and the
// files and folders the request names, read-only (or writable, for a
// program's own output folders). The run writes only its room (layout.h):
// its disk and scratch folders, its terminals and its kernel setting, each a
// size-capped tmpfs or a plain file in one, all gone with the run. A fresh
// /proc with /proc/sys read-only, a small /dev with only the harmless
// devices, a call filter (call_filter.h), a fixed environment, stdin empty,
// and the limits of run_limits.h (a memory cgroup where the caller may make one,
// cgroup.h) complete it. The caller's working folder is an empty folder
// inside: only its path is kept, for relative names.
//
// What comes out: the program's stdout and stderr, relayed (relay.h); for a
// run with channels (devsim), the records and the disk it gives back, and
// the input it was given. A run that did not exit by itself is described in
// one line.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "relay.h"

namespace sim::confine {

struct Request {
  std::vector<std::string> program;   // the argument vector to run confined
  std::vector<std::string> reach;     // files and folders it reads, bound read-only at their own paths
  std::vector<std::string> writable;  // folders it writes (its own output), bound at their own paths
  std::vector<int> terminals = {0};   // the terminals /dev/pts/N that exist, each empty
  bool nested = false;                // it confines programs of its own
  unsigned timeout = 0;               // seconds the whole run may take; 0 for no limit
  uint64_t dataBytes = 0;             // its writable private memory; 0 for run_limits.h's
  Output output = Output::Plain;
  // Channels (devsim): INPUT on the run's input channel, and the records and
  // disk it gives back collected.
  std::optional<std::string> input;
};

struct Outcome {
  int status = 0;  // the program's exit status; 128 + the signal that ended it
  bool timedOut = false;
  Phase phase = Phase::None;  // what the program said it did last
  std::string records, disk;
  std::string capped;            // a channel that passed its cap ("its records", "its disk")
  bool outputCapped = false;     // its output passed its cap and was cut
  bool memoryExhausted = false;  // its memory cgroup ran out, and the kernel killed in it
};

// Whether a confinement can be had here; otherwise WHY names in one line
// what is missing (bwrap, user namespaces, a call filter for this machine).
bool available(std::string& why);
// Runs the request confined; nothing, with ERROR set to one line, when no
// confinement could be had.
std::optional<Outcome> run(const Request& request, std::string& error);
// A run that did not end by exiting, in one line; empty for one that exited.
std::string describe(const Outcome& outcome, unsigned timeout);
// Runs the request and answers the status the caller ends with: the
// program's, 124 past the time limit, 128 + the signal that ended it, 1 when
// no confinement could be had. Every end but an exit gets one line on
// stderr, "WHO: ...", as does output cut at its cap.
int runToEnd(const Request& request, const std::string& who);

// The side inside: for the program a confinement runs.
namespace inside {

// Whether this process runs in a confinement at all, as the mounts and the
// identity prove: a read-only root, stand-ins (no procfs, no devpts) for the
// kernel setting and the terminals, and no root to the kernel.
bool confined();
// Whether this process is the very program its confinement was made for (a
// hint its caller left, taken once and hidden from the program's own
// children), and is confined. A hint without the confinement ends the
// program with one line: nothing runs unconfined.
bool own(const char* program);
// Tells the outside what the program does now. Does nothing outside.
void announce(Phase phase);
// The run's channels, given to devsim's confined part by its outside: the
// input it reads, the records and the disk it writes. -1 for a run without.
enum class Channel { Input, Records, Disk };
int channel(Channel which);

}  // namespace inside

}  // namespace sim::confine
