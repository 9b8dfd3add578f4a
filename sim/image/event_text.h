// An event as the command lines of devsim run and of the image's loader
// (tapload) give it: "CODE:P1:P2", each a whole number from 0 to 4294967295
// in decimal, in hexadecimal after "0x" or in octal after "0", with nothing
// else (no sign, no blank). The one reader of it for both: plain code, for
// tapload has no C++ runtime.
#pragma once

#include <stdint.h>

namespace sim {

// Reads EVENT from TEXT; false, with EVENT unspecified, when TEXT is no
// event.
inline bool parseEvent(const char* text, uint32_t (&event)[3]) {
  for (int i = 0; i < 3; ++i) {
    const char end = i < 2 ? ':' : '\0';
    uint32_t base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      base = 16;
      text += 2;
    } else if (text[0] == '0') {
      base = 8;
    }
    uint64_t value = 0;
    const char* const first = text;
    for (; *text != end; ++text) {
      const char c = *text;
      const uint32_t digit = c >= '0' && c <= '9'   ? c - '0'
                             : c >= 'a' && c <= 'f' ? c - 'a' + 10
                             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                    : 16;  // none, the terminator too
      if (digit >= base) return false;
      value = value * base + digit;
      if (value > UINT32_MAX) return false;
    }
    if (text == first) return false;
    event[i] = static_cast<uint32_t>(value);
    if (i < 2) ++text;
  }
  return true;
}

}  // namespace sim
