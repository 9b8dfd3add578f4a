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

// The simulated firmware holds its data in two libraries of its library
// folder (the host build's SIM_LIBDIR, the device image's /tapapi/TMS),
// loaded only for a run that wants them: the task table with the current-task
// index, and the UTF-8 routine. Their file names (the CMake targets fwtask and
// fwutf8), as literals for joining to a folder.
#define FWDATA_TASK_LIBRARY "libfwtask.so"
#define FWDATA_UTF8_LIBRARY "libfwutf8.so"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TapTaskEntry) == 44, "task entry is 44 bytes");
static_assert(offsetof(TapTaskEntry, dirRecord) == 40, "record pointer at 40");
static_assert(offsetof(TapDirRecord, directory) == 4, "string pointer at 4");
#endif
