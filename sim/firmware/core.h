// The simulated firmware's routines, shared by the glibc builds and the
// device image (uClibc, no C++ runtime there): only C library calls, no
// exceptions, no RTTI, no operator new, no static constructors, fixed-size
// buffers. The core owns the disk, the current directory, the heap blocks and
// the open files; which call fails, what length a file reports and where the
// record of each call goes, it asks its hooks.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#include "tap.h"

namespace sim {

struct MemoryStats {
  uint32_t liveBlocks = 0;   // blocks allocated and not yet freed
  uint64_t liveBytes = 0;
  uint64_t peakBytes = 0;    // most bytes live at once
  uint32_t allocations = 0;  // successful TAP_MemAlloc calls
  uint32_t badFrees = 0;     // TAP_MemFree of a pointer that is no live block
};

namespace core {

// The firmware API entries, in the order of tap.h.
enum Entry : uint8_t {
  kMemAlloc, kMemFree, kMemSet, kMemCpy, kSPrint, kPrint, kSleep,
  kHddExist, kHddCreate, kHddDelete, kHddChangeDir, kHddFopen, kHddFlen, kHddFread, kHddFwrite, kHddFclose,
  kEntryCount
};
// "TAP_MemAlloc" and so on.
const char* entryName(Entry entry);
// The entry called NAME; false for none.
bool entryNamed(const char* name, Entry* entry);
// Whether the hooks can make ENTRY fail (the routines below say how).
bool canFail(Entry entry);

// How a value of a call reads in the trace.
enum class ValueKind : uint8_t {
  Number,  // unsigned decimal
  Signed,  // the 32 bits as a signed decimal
  Hex,     // 0x...
  Text,    // a quoted string
  Block,   // a heap pointer: #N, #N+OFFSET, or "ptr" outside every live block
  Handle,  // a file handle: @N, or "bad-handle" for no open file
};

// One argument or result of a call.
struct Value {
  ValueKind kind;
  bool null;             // Text, Block, Handle: a null pointer
  uint32_t number;       // the value; Block, Handle: the id, 0 for no live block or open file
  uint32_t offset;       // Block: bytes past the block's start
  const char* text;      // Text: the string, valid while the record hook runs
};

// A finished call as the core reports it. A result that is text is what
// TAP_SPrint wrote; entries that answer nothing of note have no result.
struct Call {
  Entry entry;
  bool fault;       // the hooks made it fail
  bool hasResult;
  uint8_t argCount;
  Value args[4];
  Value result;
};

// Every member may be null: no call fails, files report their own length,
// records are dropped.
struct Hooks {
  void* context;
  // Whether call NTH (1-based, counted since reset) of ENTRY is to fail.
  bool (*fails)(void* context, Entry entry, uint32_t nth);
  // Sets LENGTH to what TAP_Hdd_Flen reports for a file called NAME instead
  // of its size; false to report the size.
  bool (*reportedLength)(void* context, const char* name, uint32_t* length);
  // Called once per call, when it is done.
  void (*record)(void* context, const Call& call);
};

void setHooks(const Hooks& hooks);
// Starts afresh on a disk: DISK is a host folder standing for the disk's
// root (one whose path does not fit leaves no disk: every path is refused).
// Gives back every block and file, clears the call counts, the accounting
// and the sleep limit; the current directory becomes "/", the
// change-directory success value 0.
void reset(const char* disk);
// Gives back every block and file still live.
void releaseAll();

void setChangeDirSuccess(dword value);
// Sets the current directory (a disk path); false if it is no folder of the disk.
bool setCurrentDir(const char* path);
const char* currentDir();
// A 7-character prefix, then the current directory; the address never changes.
const char* taskDirectory();
// After COUNT calls of TAP_Sleep the process exits with CODE.
void exitAfterSleeps(uint32_t count, int code);

uint32_t callCount(Entry entry);
MemoryStats memory();
uint32_t openFiles();

// The routines behind the API entries (api.cpp). The failing entries fail so:
// TAP_MemAlloc and TAP_Hdd_Fopen give 0; TAP_Hdd_Fread delivers half of what
// was asked for and answers 0; TAP_Hdd_Fwrite writes nothing and answers 0;
// TAP_Hdd_ChangeDir answers failure without changing; TAP_Hdd_Create and
// TAP_Hdd_Delete do nothing; TAP_Hdd_Exist answers the opposite;
// TAP_Hdd_Flen answers 0xFFFFFFFF.
void* memAlloc(dword size);
int32_t memFree(const void* block);
void memSet(void* block, uint8_t value, dword size);
void memCpy(void* dest, const void* src, dword count);
int32_t sprint(char* buffer, const char* format, va_list args);
int32_t print(const char* format, va_list args);
void sleep(dword duration);
dword exist(const char* name);
dword create(const char* name, dword attr);
dword remove(const char* name);
dword changeDir(const char* path);
TYPE_File* fopen(const char* name);
dword flen(TYPE_File* file);
dword fread(void* buffer, dword size, dword count, TYPE_File* file);
dword fwrite(void* buffer, dword size, dword count, TYPE_File* file);
void fclose(TYPE_File* file);

}  // namespace core
}  // namespace sim
