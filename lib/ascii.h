// ASCII-only character tests and case mapping, inline: the module uses no
// locale tables. Bytes of 0x80 and above are never letters or digits.
#pragma once

static inline bool AsciiIsDigit(char c) { return c >= '0' && c <= '9'; }

static inline char AsciiToUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

static inline char AsciiToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
