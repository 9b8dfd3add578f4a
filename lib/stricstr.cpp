#include <string.h>

#include "ascii.h"
#include "helpers.h"

// Finds the leftmost occurrence of FIND in TEXT, ignoring the case of ASCII
// letters. Candidates are located by FIND's first character in either case
// with the platform's strpbrk, which skips the bytes between them faster than
// a loop here; the rest is compared byte for byte after case mapping,
// stopping at the first difference, so nothing past TEXT's terminator is read.
char* stricstr(const char* text, const char* find) {
  if (text == nullptr || find == nullptr || find[0] == '\0') return nullptr;
  const char first[3] = {AsciiToUpper(find[0]), AsciiToLower(find[0]), '\0'};
  for (const char* p = strpbrk(text, first); p != nullptr; p = strpbrk(p + 1, first)) {
    uint32_t i = 1;
    while (find[i] != '\0' && AsciiToLower(p[i]) == AsciiToLower(find[i])) ++i;
    if (find[i] == '\0') return const_cast<char*>(p);
  }
  return nullptr;
}
