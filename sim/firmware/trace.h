// The simulated firmware's call records, and the one formatter that renders
// them as the trace's display text. The firmware library makes the records;
// the programs that host the module link the formatter and the queries
// (trace.cpp, in simhost).
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "core.h"

namespace sim {

// One argument or result of a firmware call.
struct TraceValue {
  core::ValueKind kind = core::ValueKind::Number;
  bool null = false;    // Text, Block, Handle: a null pointer
  uint32_t number = 0;  // the value; Block, Handle: the id, 0 for no live block or open file
  uint32_t offset = 0;  // Block: bytes past the block's start
  std::string text;     // Text
};
bool operator==(const TraceValue& a, const TraceValue& b);

// One firmware call: the entry, what it was given and what it answered. A
// result that is text is what TAP_SPrint wrote; entries that answer nothing
// of note (TAP_MemFree, TAP_MemSet, TAP_MemCpy, TAP_Print, TAP_Sleep,
// TAP_Hdd_Fclose) have none.
struct FirmwareCall {
  uint64_t sequence = 0;  // place among all records of the process (Firmware::nextSequence)
  std::string entry;      // e.g. "TAP_Hdd_Exist"
  std::vector<TraceValue> args;
  std::optional<TraceValue> result;
  bool fault = false;  // an injected fault made it fail

  // The string argument (a name, path, format or printed text); empty for none.
  const std::string& stringArg() const;
  // The result as a number: a signed one sign-extended, a block or handle its
  // id; 0 for none.
  int64_t resultValue() const;
};
// The same call: everything but the sequence number.
bool operator==(const FirmwareCall& a, const FirmwareCall& b);
inline bool operator!=(const FirmwareCall& a, const FirmwareCall& b) { return !(a == b); }

// The display text of a call, e.g.
//   TAP_Hdd_Exist("Settings") = 0
//   TAP_SPrint("%d") -> "300"
//   TAP_Hdd_Fread(#2, 1, 21, @1) = 21
// Heap blocks read #N (#N+OFFSET inside one, "ptr" outside all), file
// handles @N ("bad-handle" for none open), a null pointer 0 or null; strings
// are quoted with \" \\ and \xHH escapes; a free of no live block says so;
// an injected fault adds " [fault]".
std::string text(const FirmwareCall& call);
// A string as the trace shows it: quoted, with \" \\ and \xHH escapes.
std::string quote(const std::string& s);
std::vector<std::string> lines(const std::vector<FirmwareCall>& calls);

}  // namespace sim
