#include "helpers.h"

// The UTF-8 form of one Latin-1 byte: the byte itself below 0x80, else its two
// bytes with the first in the high half.
uint16_t CharToUTF8(const char* p) {
  if (p == nullptr) return 0;
  const unsigned c = static_cast<unsigned char>(*p);
  if (c < 0x80) return static_cast<uint16_t>(c);
  return static_cast<uint16_t>(0xC080 | (c & 0xC0) << 2 | (c & 0x3F));
}
