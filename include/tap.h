// The firmware's application interface, as the module sees it.
//
// Every entry is a data symbol in the firmware API library
// ("/tapapi/TMS/libtap.so") that holds the address of a firmware routine; the
// module calls through it. Integers that cross the boundary are 32-bit words;
// pointers and handles are one word on the device. Each entry's comment says
// what a module may rely on; the kit's guide (kit.md) says what devsim's
// firmware does beyond that.
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

// --- Memory and text ---
// A block of SIZE bytes from the firmware's heap, or null when there is no
// room; its bytes are not cleared.
extern void* (*TAP_MemAlloc)(dword size);
// Gives BLOCK (from TAP_MemAlloc) back to the heap; the result means nothing.
extern int32_t (*TAP_MemFree)(const void* block);
// Sets SIZE bytes at BLOCK to VALUE.
extern void (*TAP_MemSet)(void* block, uint8_t value, dword size);
// Copies COUNT bytes from SRC to DEST.
extern void (*TAP_MemCpy)(void* dest, const void* src, dword count);
// Formats as printf does (%d and %s at least) into BUFFER, zero-terminated,
// with no bound: BUFFER must hold the result. Answers its length.
extern int32_t (*TAP_SPrint)(char* buffer, const char* format, ...);
// Formats as TAP_SPrint does and prints the text to the firmware's output
// (devsim's report shows it as "printed").
extern int32_t (*TAP_Print)(const char* format, ...);
// Suspends the caller for DURATION, in the firmware's unit.
extern void (*TAP_Sleep)(dword duration);

// --- The disk ---
// NAME and PATH are disk paths: absolute from the disk's root, or relative to
// the current directory, which the firmware keeps for the module.
// Non-zero when NAME exists, file or folder.
extern dword (*TAP_Hdd_Exist)(const char* name);
// Creates NAME empty: a folder for ATTR_FOLDER, a file for ATTR_NORMAL. Do
// not rely on the result; ask TAP_Hdd_Exist.
extern dword (*TAP_Hdd_Create)(const char* name, dword attr);
// Removes the file or empty folder NAME. Do not rely on the result.
extern dword (*TAP_Hdd_Delete)(const char* name);
// Makes PATH the current directory. Answers the firmware's success value,
// which is 0 on some firmware and 1 on others (HDD_ChangeDir learns it),
// and another value on failure.
extern dword (*TAP_Hdd_ChangeDir)(const char* path);
// Opens the existing file NAME for reading and writing, at its start: a
// handle, or null.
extern TYPE_File* (*TAP_Hdd_Fopen)(const char* name);
// FILE's length in bytes.
extern dword (*TAP_Hdd_Flen)(TYPE_File* file);
// Reads COUNT blocks of SIZE bytes into BUFFER from the file's position:
// the number of whole blocks read.
extern dword (*TAP_Hdd_Fread)(void* buffer, dword size, dword count, TYPE_File* file);
// Writes COUNT blocks of SIZE bytes from BUFFER at the file's position: the
// number of whole blocks written. It does not shorten a longer file: to
// replace one, delete and create it first (INISaveFile does).
extern dword (*TAP_Hdd_Fwrite)(void* buffer, dword size, dword count, TYPE_File* file);
// Closes FILE.
extern void (*TAP_Hdd_Fclose)(TYPE_File* file);

}  // extern "C"
