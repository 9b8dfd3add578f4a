// The firmware API entries the module calls through (tap.h): data symbols
// holding the addresses of the core's routines.
#include <stdarg.h>

#include "core.h"

namespace {

int32_t sprint(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = sim::core::sprint(buffer, format, args);
  va_end(args);
  return n;
}

int32_t print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = sim::core::print(format, args);
  va_end(args);
  return n;
}

}  // namespace

extern "C" {

void* (*TAP_MemAlloc)(dword) = sim::core::memAlloc;
int32_t (*TAP_MemFree)(const void*) = sim::core::memFree;
void (*TAP_MemSet)(void*, uint8_t, dword) = sim::core::memSet;
void (*TAP_MemCpy)(void*, const void*, dword) = sim::core::memCpy;
int32_t (*TAP_SPrint)(char*, const char*, ...) = sprint;
int32_t (*TAP_Print)(const char*, ...) = print;
void (*TAP_Sleep)(dword) = sim::core::sleep;
dword (*TAP_Hdd_Exist)(const char*) = sim::core::exist;
dword (*TAP_Hdd_Create)(const char*, dword) = sim::core::create;
dword (*TAP_Hdd_Delete)(const char*) = sim::core::remove;
dword (*TAP_Hdd_ChangeDir)(const char*) = sim::core::changeDir;
TYPE_File* (*TAP_Hdd_Fopen)(const char*) = sim::core::fopen;
dword (*TAP_Hdd_Flen)(TYPE_File*) = sim::core::flen;
dword (*TAP_Hdd_Fread)(void*, dword, dword, TYPE_File*) = sim::core::fread;
dword (*TAP_Hdd_Fwrite)(void*, dword, dword, TYPE_File*) = sim::core::fwrite;
void (*TAP_Hdd_Fclose)(TYPE_File*) = sim::core::fclose;

}  // extern "C"
