// A text field of a loader record (report_lines.h): " -" for none, else
// " =" and the bytes, each outside '!'..'~' and '%' itself written %XX.
#pragma once

#include <stddef.h>
#include <stdio.h>

// TEXT up to its zero byte, or " -" for a null pointer.
void putText(FILE* out, const char* text);
// The N bytes at BYTES, zero bytes included.
void putBytes(FILE* out, const char* bytes, size_t n);
