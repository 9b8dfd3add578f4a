#include "report_text.h"

#include <string.h>

void putBytes(FILE* out, const char* bytes, size_t n) {
  fputs(" =", out);
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c > ' ' && c <= '~' && c != '%')
      fputc(c, out);
    else
      fprintf(out, "%%%02X", c);
  }
}

void putText(FILE* out, const char* text) {
  if (text == nullptr)
    fputs(" -", out);
  else
    putBytes(out, text, strlen(text));
}
