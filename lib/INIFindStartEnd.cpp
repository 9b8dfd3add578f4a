#include <string.h>

#include "helpers.h"

// Finds the first entry of PATTERN (a key and "=") in the open text that is
// not commented out, and delivers its span: *START is the pattern's first
// character, *END the last character before the line end. An occurrence
// whose preceding character is '#' or ';' is a comment; at the very start of
// the text the occurrence's own first character stands in for it. With no
// line end after the occurrence, *END stays null.
//
// MAX_LENGTH caps the span at that many characters, except where the first
// CR and the first LF after the occurrence are both present but do not form
// a CR LF pair; there the span runs to the LF uncapped.
// That span is kept for compatibility: files with mixed line ends, and callers reading or setting them, rely on it.
void INIFindStartEnd(const char* pattern, char** start, char** end, uint32_t maxLength) {
  if (start == nullptr || end == nullptr || maxLength == 0) return;
  if (INIBuffer == nullptr) {
    *start = nullptr;
    return;
  }
  *end = nullptr;

  char* occurrence;
  const char* from = INIBuffer;
  for (;;) {
    occurrence = stricstr(from, pattern);
    *start = occurrence;
    if (occurrence == nullptr) return;
    const char before = occurrence == INIBuffer ? occurrence[0] : occurrence[-1];
    if (before != '#' && before != ';') break;
    from = occurrence + 1;
  }

  char* cr = strchr(occurrence, '\r');
  char* lf = strchr(occurrence, '\n');
  char* last;
  bool capped = true;
  if (cr == nullptr && lf == nullptr) {
    return;
  } else if (cr == nullptr) {
    last = lf - 1;
  } else if (lf == nullptr || lf == cr + 1) {
    last = cr - 1;
  } else {
    last = lf - 1;
    capped = false;
  }
  if (capped && last >= occurrence && static_cast<uint32_t>(last - occurrence) >= maxLength)
    last = occurrence + (maxLength - 1);
  *end = last;
}
