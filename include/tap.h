// The firmware's application interface, as the module sees it.
//
// Every entry is a data symbol in the firmware API library that holds the
// address of a firmware routine; the module calls through it. Integers that
// cross the boundary are 32-bit words; pointers and handles are one word on
// the device.
#pragma once

#include <stdint.h>

extern "C" {

typedef uint32_t dword;

// Opaque file handle of the firmware's disk API; 0 means failure.
typedef struct TapFile TYPE_File;

// Attributes for TAP_Hdd_Create.
enum : dword {
  ATTR_FOLDER = 0xE0,
  ATTR_NORMAL = 0xD0,
};

extern void* (*TAP_MemAlloc)(dword size);
extern int32_t (*TAP_MemFree)(const void* block);
extern void (*TAP_MemSet)(void* block, uint8_t value, dword size);
extern void (*TAP_MemCpy)(void* dest, const void* src, dword count);
extern int32_t (*TAP_SPrint)(char* buffer, const char* format, ...);
extern int32_t (*TAP_Print)(const char* format, ...);
extern void (*TAP_Sleep)(dword duration);

extern dword (*TAP_Hdd_Exist)(const char* name);
extern dword (*TAP_Hdd_Create)(const char* name, dword attr);
extern dword (*TAP_Hdd_Delete)(const char* name);
extern dword (*TAP_Hdd_ChangeDir)(const char* path);
extern TYPE_File* (*TAP_Hdd_Fopen)(const char* name);
extern dword (*TAP_Hdd_Flen)(TYPE_File* file);
extern dword (*TAP_Hdd_Fread)(void* buffer, dword size, dword count, TYPE_File* file);
extern dword (*TAP_Hdd_Fwrite)(void* buffer, dword size, dword count, TYPE_File* file);
extern void (*TAP_Hdd_Fclose)(TYPE_File* file);

}  // extern "C"
