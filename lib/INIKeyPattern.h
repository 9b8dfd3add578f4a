// The search pattern of a key: the key cut to its first 78 characters, then
// "=", in an 80-byte buffer. Keys that agree in their first 78 characters
// therefore address the same entry.
#pragma once

#include <stdint.h>

enum : uint32_t {
  INI_KEY_PATTERN_SIZE = 80,
  INI_KEY_MAX_LEN = INI_KEY_PATTERN_SIZE - 2,
};

// Writes KEY's pattern into PATTERN and answers its length.
static inline uint32_t INIKeyPattern(char (&pattern)[INI_KEY_PATTERN_SIZE], const char* key) {
  uint32_t n = 0;
  while (n < INI_KEY_MAX_LEN && key[n] != '\0') {
    pattern[n] = key[n];
    ++n;
  }
  pattern[n++] = '=';
  pattern[n] = '\0';
  return n;
}
