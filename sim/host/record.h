// The records of everything the module calls, below every other unit of the
// hosting programs: the one sequence that orders them (firmware, dynamic
// linker, open, system), the records of the calls this program makes on the
// module's behalf (the firmware's are trace.h's), the one formatter that
// shows each as a line of the trace, and the one escape that shows bytes.
// The firmware numbers its records from the same sequence (the session hands
// it next()), so all of them merge into the order they were made in.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "trace.h"

namespace sim::record {

// The next number of the one sequence (1, 2, ...; never restarts).
uint64_t next();

// BYTES with CR, LF, the zero byte, backslashes (and quotes, when QUOTED)
// and every byte outside printable ASCII escaped (\n \r \0 \\ \" \xHH): always
// one line, which no byte of it can end or rewrite.
std::string escaped(const std::string& bytes, bool quoted = false);
// BYTES escaped and in quotes.
std::string quoted(const std::string& bytes);

// A call of the dynamic linker.
enum class LinkerFn { Open, Symbol, Error, Close };
struct LinkerCall {
  LinkerFn fn;
  uint64_t sequence = 0;
  // dlopen: the file (none for the process itself); dlsym: the symbol.
  std::optional<std::string> name = std::nullopt;
  int flags = 0;            // dlopen: the mode
  void* handle = nullptr;   // dlopen: the handle given; dlsym, dlclose: the handle passed
  void* address = nullptr;  // dlsym: the address given
  // dlerror: the text given; none for a null answer.
  std::optional<std::string> error = std::nullopt;
};

// A call of the platform's open or system.
struct OpenCall {
  uint64_t sequence = 0;
  std::string path;
  int flags = 0;
  int result = -1;  // the descriptor, or -1
  int error = 0;    // errno when it failed
};
struct ShellCall {
  uint64_t sequence = 0;
  std::string command;
  bool ran = false;  // whether a shell ran it
  int status = -1;   // what system answered
};

// Every call of a run, each kind in order; the sequence orders them all.
struct Calls {
  std::vector<FirmwareCall> firmware;
  std::vector<LinkerCall> linker;
  std::vector<OpenCall> opens;
  std::vector<ShellCall> commands;
};

// A call as the trace shows it, e.g.
//   TAP_Hdd_Exist("Settings") = 0          TAP_SPrint("%d") -> "300"
//   TAP_Hdd_Fread(#2, 1, 21, @1) = 21      open("/dev/pts/1", 2) = -1 (ENOENT)
//   system("echo 10000 > ...") = 0         system("...") not run
// Heap blocks read #N (#N+OFFSET inside one, "ptr" outside all), file
// handles @N ("bad-handle" for none open), a null pointer 0 or null; a free
// of no live block says so; an injected fault adds " [fault]".
std::string text(const FirmwareCall& call);
std::string text(const OpenCall& call);
std::string text(const ShellCall& call);
// Calls of one kind, a line each. The dynamic linker's read
//   dlopen(NULL, 5) = handle      dlsym(handle, "_tapTask") = address
//   dlerror() = "text"            dlerror() = NULL        dlclose(handle)
// where "handle" is the one the latest dlopen gave, another "other".
std::vector<std::string> lines(const std::vector<FirmwareCall>& calls);
std::vector<std::string> lines(const std::vector<LinkerCall>& calls);
// Every call of CALLS in the order they were made, a line each.
std::vector<std::string> lines(const Calls& calls);
// All text the module printed through TAP_Print among CALLS, in order.
std::string printed(const std::vector<FirmwareCall>& calls);

}  // namespace sim::record
