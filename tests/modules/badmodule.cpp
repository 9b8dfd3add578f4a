// A module that carries the identity header but no __TAP_Init_; built with
// BAD_MAGIC its header carries the wrong magic, with BAD_VALUE the right
// magic and the value after the device's.
#include "tapheader.h"

#if defined(BAD_MAGIC)
TAP_IDENTITY("Jan 1 2026", "broken V0", "tests", "V0", "broken V0", 1, "NOTMIPS!")
#elif defined(BAD_VALUE)
struct NextValue {};
constexpr TapModuleHeader tapModuleHeader(NextValue) {
  TapModuleHeader header = tapModuleHeader(TAP_HEADER_MAGIC);
  header.value = TAP_HEADER_VALUE + 1;
  return header;
}
TAP_IDENTITY("Jan 1 2026", "broken V0", "tests", "V0", "broken V0", 1, NextValue{})
#else
TAP_IDENTITY("Jan 1 2026", "broken V0", "tests", "V0", "broken V0", 1, TAP_HEADER_MAGIC)
#endif
