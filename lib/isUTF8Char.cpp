#include "helpers.h"

// Whether a UTF-8 sequence of two, three or four bytes starts at P, judged by
// bit patterns alone. Following bytes are read only while they are
// continuation bytes, so nothing past the string's terminator is read.
int32_t isUTF8Char(const char* p) {
  if (p == nullptr || !isUTFFirmware()) return 0;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
  int followers;
  if ((b[0] & 0xE0) == 0xC0)
    followers = 1;
  else if ((b[0] & 0xF0) == 0xE0)
    followers = 2;
  else if ((b[0] & 0xF8) == 0xF0)
    followers = 3;
  else
    return 0;
  for (int i = 1; i <= followers; ++i)
    if ((b[i] & 0xC0) != 0x80) return 0;
  return 1;
}
