// The dynamic linker as a loaded module sees it. Every program that hosts the
// module links this unit, which defines its own `dlopen`, `dlsym`, `dlerror`
// and `dlclose`; they bind before libc's, so the module's calls land here and
// are passed on to the real functions.
//
// Calls made from a watched object (each loaded module copy; sim::Module
// watches itself) are recorded, and only those calls see injected faults. A
// call is the watched object's when its return address lies in that object,
// so the simulator's own loading and symbol queries are neither recorded nor
// disturbed.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace sim::linker {

enum class Fn { Open, Symbol, Error, Close };

struct Call {
  Fn fn;
  uint64_t sequence = 0;  // place among all of the module's recorded calls
  // dlopen: the file (none for the process itself); dlsym: the symbol.
  std::optional<std::string> name = std::nullopt;
  int flags = 0;            // dlopen: the mode
  void* handle = nullptr;   // dlopen: the handle given; dlsym, dlclose: the handle passed
  void* address = nullptr;  // dlsym: the address given
  // dlerror: the text given; none for a null answer.
  std::optional<std::string> error = std::nullopt;
};

// Starts or stops recording the calls of the object that HANDLE (a dlopen
// handle) stands for.
void watch(void* handle);
void unwatch(void* handle);
// Whether the code at RETURN_ADDRESS belongs to a watched object: how the
// interposed functions tell the module's calls from the program's own.
bool fromModule(const void* returnAddress);

// The watched objects' calls since the last reset, in order.
const std::vector<Call>& calls();
uint32_t count(Fn fn);
// One line per call of CALLS (by default the recorded ones), e.g.
//   dlopen(NULL, 5) = handle      dlsym(handle, "_tapTask") = address
//   dlerror() = "text"            dlerror() = NULL        dlclose(handle)
// "handle" is the one the latest dlopen of CALLS gave; another reads "other".
std::vector<std::string> trace(const std::vector<Call>& calls = linker::calls());

// Forgets the recorded calls and ends every injected fault.
void reset();

// The next TIMES dlopen(NULL, ...) calls give no handle (and leave an error
// text, as a failed dlopen does).
void refuseProcessHandle(uint32_t times = 1);
// Every dlsym of SYMBOL still answers the real address, but leaves TEXT as the
// error for the next dlerror. An empty TEXT ends this.
void reportErrorFor(const std::string& symbol, const std::string& text);

}  // namespace sim::linker
