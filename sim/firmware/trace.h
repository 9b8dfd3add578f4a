// The simulated firmware's call records. The firmware library makes them;
// the programs that host the module show them (record.h) and query them
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
  uint64_t sequence = 0;  // place among all records of the module's calls (record.h)
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

}  // namespace sim
