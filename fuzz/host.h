// What every fuzz program shares: a session of the simulated device (its
// confined sandbox holding the disk, the firmware on it with its firmware
// data), and loaded copies of the module, reached only through their exports
// as the tests reach them. Each copy is loaded from a file of its own, so it
// has globals of its own.
//
// A broken invariant prints one line and aborts, which libFuzzer reports as a
// crash and keeps the input for.
#pragma once

#include <stdint.h>

#include <string>
#include <type_traits>

#include "firmware.h"
#include "fwdata.h"
#include "session.h"

namespace fuzz {

// Starts the session, confined, with the corpus and findings folders named
// on the command line writable; makes "/ProgramFiles/Settings" on the disk
// and boots the firmware with the task data and the UTF-8 routine. The
// sandbox is removed when the program ends.
void boot(int argc, char** argv);
// Host path of a disk path.
std::string hostPath(const std::string& diskPath);
// Copy N of the module (0, 1, ...), loaded on first use.
sim::Module& module(int copy);
// Before each input: the firmware starts afresh on the same disk in "/", and
// the record of dynamic-linker calls is cleared, so neither grows.
void resetFirmware();
sim::Firmware& fw();

// The task data's current entry, found the way the module finds it.
TapTaskEntry& currentTask();

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzz

// Module exports: FN(copy, INIGetInt)(...), VAR(copy, INIBuffer). Each use
// looks its name up once per copy (copies 0 and 1) and keeps the address.
#define EXPORT_OF(copy, name, type)                                                   \
  ([](int c) {                                                                        \
    static type* address[2] = {};                                                     \
    if (address[c] == nullptr)                                                        \
      address[c] = &fuzz::module(c).exported<type>(#name);                             \
    return address[c];                                                                \
  }(copy))
#define FN(copy, name) (*EXPORT_OF(copy, name, decltype(name)))
#define VAR(copy, name) (*EXPORT_OF(copy, name, std::remove_reference_t<decltype(name)>))
#define CHECK(cond, ...)                  \
  do {                                    \
    if (!(cond)) fuzz::fail(__VA_ARGS__); \
  } while (0)
