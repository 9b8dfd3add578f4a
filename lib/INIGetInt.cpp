#include "INIKeyPattern.h"
#include "ascii.h"
#include "helpers.h"

// A decimal number read the way a 32-bit strtoul reads it: an optional '-',
// then digits up to the first non-digit. A magnitude above 4294967295 gives
// 4294967295 whatever the sign; otherwise a '-' negates modulo 2^32.
static uint32_t DecimalToUInt32(const char* p) {
  const bool negative = *p == '-';
  if (negative) ++p;
  uint64_t magnitude = 0;
  bool saturated = false;
  for (; AsciiIsDigit(*p); ++p) {
    magnitude = magnitude * 10 + static_cast<uint32_t>(*p - '0');
    if (magnitude > UINT32_MAX) {
      saturated = true;
      magnitude = UINT32_MAX;
    }
  }
  if (saturated) return UINT32_MAX;
  const uint32_t value = static_cast<uint32_t>(magnitude);
  return negative ? 0u - value : value;
}

// Reads KEY's value as a signed 32-bit integer held within MIN_VALUE and
// MAX_VALUE (MAX_VALUE wins when they cross). DEFAULT_VALUE is answered as
// given, unclamped, when no text is open, the key has no entry with a line
// end, or the value is empty or not a plain decimal number. At most 11 value
// characters are checked, but the conversion reads on over any further
// digits. Allocates nothing.
// The 11 are kept for compatibility: existing settings files and callers rely on the values it reads.
int32_t INIGetInt(const char* key, int32_t defaultValue, int32_t minValue, int32_t maxValue) {
  if (key == nullptr) return 0;
  char pattern[INI_KEY_PATTERN_SIZE];
  const uint32_t n = INIKeyPattern(pattern, key);
  char* start = nullptr;
  char* end = nullptr;
  INIFindStartEnd(pattern, &start, &end, n + 11);
  if (start == nullptr || end == nullptr) return defaultValue;

  const char* value = start + n;
  if (end < value) return defaultValue;
  for (const char* p = value; p <= end; ++p) {
    const bool leadingMinus = p == value && *p == '-' && p < end;
    if (!leadingMinus && !AsciiIsDigit(*p)) return defaultValue;
  }

  int32_t result = static_cast<int32_t>(DecimalToUInt32(value));
  if (result < minValue) result = minValue;
  if (result > maxValue) result = maxValue;
  return result;
}
