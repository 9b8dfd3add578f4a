// The firmware's UTF-8 routine. Only whether it is exported matters: its
// presence makes the firmware UTF-8-capable. It is never called.
#include <stdint.h>

void Appl_ConvertToValidUTF8Str(unsigned char* text, int32_t mode) {
  (void)text;
  (void)mode;
}
