#include <string.h>

#include "helpers.h"

// Writes SOURCE's UTF-8 form into DEST, a buffer of DEST_SIZE bytes. A string
// is converted only when it holds single-byte characters and no valid UTF-8
// sequence; otherwise it is copied unchanged. A result that would not fit is
// refused: DEST then holds the empty string.
void StrToUTF8(const char* source, char* dest, uint32_t destSize) {
  if (source == nullptr || dest == nullptr || destSize == 0) return;
  int32_t hasLatin1, hasUTF8;
  GetStringEncoding(source, &hasLatin1, &hasUTF8);
  const bool convert = hasLatin1 && !hasUTF8;

  size_t needed = 1;
  for (const char* p = source; *p; ++p) needed += convert && static_cast<unsigned char>(*p) >= 0x80 ? 2 : 1;
  if (needed > destSize) {
    dest[0] = '\0';
    return;
  }
  if (!convert) {
    memcpy(dest, source, needed);
    return;
  }
  char* out = dest;
  for (const char* p = source; *p; ++p) {
    const uint16_t utf8 = CharToUTF8(p);
    if (utf8 > 0xFF) *out++ = static_cast<char>(utf8 >> 8);
    *out++ = static_cast<char>(utf8 & 0xFF);
  }
  *out = '\0';
}
