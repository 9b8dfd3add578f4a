// Firmware data the module reads through the dynamic linker: the task table
// ("_tapTask"), the current-task index ("_curTapTask") and the directory
// record and string a task entry leads to. The firmware owns all of it.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {

// Directory string: a 7-character prefix, then the absolute current directory.
enum : uint32_t { TAP_DIR_PREFIX_LEN = 7 };

struct TapDirRecord {
  uint32_t firmware;      // not read
  const char* directory;  // directory string, or null
};

struct TapTaskEntry {
  uint32_t firmware[10];  // not read
  TapDirRecord* dirRecord;
};

}  // extern "C"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TapTaskEntry) == 44, "task entry is 44 bytes");
static_assert(offsetof(TapTaskEntry, dirRecord) == 40, "record pointer at 40");
static_assert(offsetof(TapDirRecord, directory) == 4, "string pointer at 4");
#endif
