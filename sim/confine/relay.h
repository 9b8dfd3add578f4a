// The outside's side of a confined run while it runs: the program's stdout
// and stderr relayed to the caller's, escaped (and, for a module's output,
// marked as the module's), what it says of its phases, and the records and
// disk it gives back, each within its cap (run_limits.h); the run is killed
// when its time is up or a channel passes its cap.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace sim::confine {

// What a confined run says it does now, one byte on its phase channel, so
// that a run ended by a signal or its time limit is named with its place.
enum class Phase : uint8_t { None = 0, Loading, Init, Main, Event, After };
// "while loading the module", "in TAP_Main", ...; empty for None.
const char* phaseText(Phase phase);

// How the program's stdout and stderr reach the caller: as a program's own
// (line ends and tabs kept), or as a module's (each line marked "[module] ").
// Either way every other byte that is not printable ASCII is written \xHH:
// control bytes, C1 bytes and every byte of a multi-byte character.
enum class Output { Plain, Module };
std::string shown(const std::string& bytes, Output output);

// The descriptors the outside reads from a run; -1 for one it has not.
struct Ends {
  int out = -1, err = -1, phase = -1, records = -1, disk = -1;
};

// What the relay saw.
struct Relayed {
  bool timedOut = false;
  Phase phase = Phase::None;
  std::string records, disk;
  std::string capped;         // "its records" or "its disk" past its cap (the run was killed); empty if none
  bool outputCapped = false;  // the output passed its cap; the rest was read and not shown
  int stopSignal = 0;         // this program was asked to stop by this signal
};

// Relays and collects from ENDS until all are closed; kills PID (and with it
// the confinement) when TIMEOUT seconds (0: none) are up, when records or
// the disk pass their cap, or when this program is asked to stop (Ctrl-C,
// TERM, HUP: the caller raises it again once it has tidied up). Output past
// its cap is read and dropped. Closes the ends.
Relayed relay(pid_t pid, const Ends& ends, Output output, unsigned timeout);

}  // namespace sim::confine
