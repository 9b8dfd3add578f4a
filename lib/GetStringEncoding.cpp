#include "helpers.h"

// Tells which kinds of high bytes TEXT holds: single-byte (Latin-1)
// characters, valid UTF-8 sequences, or both. A valid sequence moves the walk
// on by two bytes whatever its length, so the third and fourth bytes of a
// longer sequence count as single-byte characters.
// The two-byte step is kept for compatibility: callers rely on hasLatin1 as it has always been set for such text.
void GetStringEncoding(const char* text, int32_t* hasLatin1, int32_t* hasUTF8) {
  if (hasLatin1) *hasLatin1 = 0;
  if (hasUTF8) *hasUTF8 = 0;
  if (text == nullptr) return;
  const char* p = text;
  while (*p) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      p += 1;
    } else if (isUTF8Char(p)) {
      if (hasUTF8) *hasUTF8 = 1;
      p += 2;
    } else {
      if (hasLatin1) *hasLatin1 = 1;
      p += 1;
    }
  }
}
