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

#include <string>
#include <vector>

#include "record.h"

namespace sim::linker {

// Starts or stops recording the calls of the object that HANDLE (a dlopen
// handle) stands for.
void watch(void* handle);
void unwatch(void* handle);
// Whether the code at RETURN_ADDRESS belongs to a watched object: how the
// interposed functions tell the module's calls from the program's own.
bool fromModule(const void* returnAddress);

// The watched objects' calls since the last reset, in order.
const std::vector<record::LinkerCall>& calls();
uint32_t count(record::LinkerFn fn);
// Forgets the recorded calls and ends every injected fault.
void reset();

// The next TIMES dlopen(NULL, ...) calls give no handle (and leave an error
// text, as a failed dlopen does).
void refuseProcessHandle(uint32_t times = 1);
// Every dlsym of SYMBOL still answers the real address, but leaves TEXT as the
// error for the next dlerror. An empty TEXT ends this.
void reportErrorFor(const std::string& symbol, const std::string& text);

}  // namespace sim::linker
