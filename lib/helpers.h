// The module's helper library: terminal echo, the INI text store, directory
// navigation with a directory stack, firmware symbol lookup and UTF-8
// handling. Plain functions over a few globals; each function is a unit of its
// own in this folder, named after it.
#pragma once

#include <stdint.h>

#include "fwdata.h"

extern "C" {

// Terminal echo: writes text and its terminating zero byte to the first of
// /dev/pts/0../dev/pts/19 that opens.
void PrintNet(const char* text);

// --- INI text store -------------------------------------------------------

// Where an INI file was found, or where it is to be saved.
enum INILOCATION : uint32_t {
  INILOCATION_NotFound = 0,
  INILOCATION_NewFile = 1,
  INILOCATION_AtCurrentDir = 2,
  INILOCATION_AtAppName = 3,
  INILOCATION_AtSettings = 4,
  INILOCATION_AtProgramFiles = 5,
};

extern char* INIBuffer;         // the open INI text, or null
extern uint32_t BufferSize;     // capacity of INIBuffer in bytes
extern char* INICommentBuffer;  // released by INICloseFile when set

char* stricstr(const char* text, const char* find);
void INIFindStartEnd(const char* pattern, char** start, char** end, uint32_t maxLength);
int32_t INIGetInt(const char* key, int32_t defaultValue, int32_t minValue, int32_t maxValue);
void INISetString(const char* key, const char* value);
void INISetInt(const char* key, int32_t value);

INILOCATION INILocateFile(const char* fileName, const char* appName);
INILOCATION INIOpenFile(const char* fileName, const char* appName);
int32_t INISaveFile(const char* fileName, INILOCATION mode, const char* appName);
void INICloseFile(void);

// --- Directory navigation -------------------------------------------------

enum : uint32_t {
  TAP_DIR_LEN = 200,          // a current-directory buffer or stack entry
  TAP_DIR_STACK_DEPTH = 16,   // entries of the directory stack
  TAP_UTF8_PATH_LEN = 256,    // the UTF-8 form of a path
};

extern char TAPDirStack[TAP_DIR_STACK_DEPTH][TAP_DIR_LEN];
extern int32_t TAPDirStackDepth;  // index of the top entry; -1 when empty

int32_t HDD_ChangeDir(const char* path);
int32_t HDD_TAP_GetCurrentDir(char* buffer);
int32_t HDD_TAP_PushDir(void);
int32_t HDD_TAP_PopDir(void);

// --- Firmware symbol lookup -----------------------------------------------

void* TryResolve(const char* symbolName);
void* FIS_fwAppl_ConvertToValidUTF8Str(void);
TapTaskEntry* FIS_vTAPTable(void);
int32_t* FIS_vCurTapTask(void);

// --- UTF-8 detection and conversion ----------------------------------------

int32_t isUTFFirmware(void);
int32_t isUTF8Char(const char* p);
void GetStringEncoding(const char* text, int32_t* hasLatin1, int32_t* hasUTF8);
uint16_t CharToUTF8(const char* p);
void StrToUTF8(const char* source, char* dest, uint32_t destSize);

}  // extern "C"
