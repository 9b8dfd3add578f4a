#include "helpers.h"
#include "tap.h"

// Sets KEY to VALUE written as a signed decimal number.
void INISetInt(const char* key, int32_t value) {
  char text[16];
  TAP_SPrint(text, "%d", value);
  INISetString(key, text);
}
