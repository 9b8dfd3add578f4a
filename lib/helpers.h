// The helper library every module is linked with whole (steadyflow_add_module),
// so each function here is exported by the module as well: terminal echo,
// the INI text store, directory navigation with a directory stack, firmware
// symbol lookup and UTF-8 handling. Plain functions over a few globals; none
// prints, logs or stops the module: a failure shows only in the result. The
// kit's guide (kit.md) says more about each.
//
// Paths are disk paths as the firmware takes them: absolute from the disk's
// root ("/ProgramFiles/Settings") or relative to the current directory.
#pragma once

#include <stdint.h>

#include "fwdata.h"

extern "C" {

// Writes TEXT and its terminating zero byte to the first of /dev/pts/0 to
// /dev/pts/19 that opens; nothing when none opens or TEXT is null.
void PrintNet(const char* text);

// --- INI text store -------------------------------------------------------
// One text at a time, in INIBuffer: INIOpenFile loads it (or prepares an
// empty one), INIGetInt reads, INISetString and INISetInt change it in
// memory, INISaveFile writes it, INICloseFile releases it. An entry is KEY=VALUE
// on a line of its own; keys match in any case of ASCII letters, anywhere in
// a line; a '#' or ';' right before the key comments the entry out; the first
// entry counts; keys are cut to their first 78 characters.

// Where INILocateFile or INIOpenFile found a file, and where INISaveFile
// writes one; the folder names are the firmware disk's.
enum INILOCATION : uint32_t {
  INILOCATION_NotFound = 0,        // found nowhere, or the open failed; saves to /ProgramFiles
  INILOCATION_NewFile = 1,         // found nowhere: an empty text was prepared; saves to /ProgramFiles
  INILOCATION_AtCurrentDir = 2,    // the current directory
  INILOCATION_AtAppName = 3,       // /ProgramFiles/Settings/APP_NAME
  INILOCATION_AtSettings = 4,      // /ProgramFiles/Settings
  INILOCATION_AtProgramFiles = 5,  // /ProgramFiles
};

extern char* INIBuffer;         // the open text, zero-terminated, in a firmware heap block; null when none is open
extern uint32_t BufferSize;     // INIBuffer's capacity in bytes (0 when none is open)
extern char* INICommentBuffer;  // a second block the module may keep; INICloseFile frees it when set

// The leftmost occurrence of FIND in TEXT, ignoring the case of ASCII
// letters; null when there is none, or for a null or empty FIND or null TEXT.
char* stricstr(const char* text, const char* find);
// Sets *START and *END to the first and last character of the first entry of
// PATTERN (key and '=') that is not commented out, up to its line end and at
// most MAX_LENGTH characters; *START null when there is none or no text is
// open, *END null when no line end follows.
void INIFindStartEnd(const char* pattern, char** start, char** end, uint32_t maxLength);
// KEY's value as a decimal number (an optional '-', then digits only), held
// within MIN_VALUE..MAX_VALUE; DEFAULT_VALUE, as given, when no text is open,
// there is no entry or the value is no such number; 0 for a null KEY.
int32_t INIGetInt(const char* key, int32_t defaultValue, int32_t minValue, int32_t maxValue);
// Sets KEY to VALUE: the first entry (to its line end) is replaced, else
// "KEY=VALUE\r\n" is appended; the text grows by at most one 1 KiB step per
// call, and a set that needs more, or whose block cannot be had, changes nothing.
void INISetString(const char* key, const char* value);
// INISetString with VALUE written as a signed decimal number.
void INISetInt(const char* key, int32_t value);

// Finds FILE_NAME (a file name, no folder) in the current directory, else in
// /ProgramFiles, /ProgramFiles/Settings and the folder APP_NAME (a name, no
// '/' first; null or "" for none) below it, the last that holds it winning;
// leaves that folder current (when found nowhere, the call's directory, if the
// task data can be read).
INILOCATION INILocateFile(const char* fileName, const char* appName);
// Closes any open text, finds FILE_NAME as INILocateFile does and loads it
// whole (a CR LF added to a last line without one; the text ends at its first
// zero byte): answers where it was found; NewFile with an empty 512-byte text
// when it is nowhere; NotFound when it cannot be opened, read whole or given
// a block. The caller's directory is current again; close the text whatever
// the answer.
INILOCATION INIOpenFile(const char* fileName, const char* appName);
// Writes the open text up to its zero byte as FILE_NAME in the folder MODE
// names (NotFound and NewFile: /ProgramFiles), creating Settings and APP_NAME
// for AtSettings and AtAppName; replaces the file whole and leaves none when
// the write fails. 1 when written whole, else 0; the caller's directory is
// current again.
int32_t INISaveFile(const char* fileName, INILOCATION mode, const char* appName);
// Frees the open text and INICommentBuffer; harmless when nothing is open.
void INICloseFile(void);

// --- Directory navigation -------------------------------------------------

enum : uint32_t {
  TAP_DIR_LEN = 200,          // bytes of a current-directory buffer or stack entry, its zero byte included
  TAP_DIR_STACK_DEPTH = 16,   // entries of the directory stack
  TAP_UTF8_PATH_LEN = 256,    // bytes of a path's UTF-8 form, its zero byte included
};

extern char TAPDirStack[TAP_DIR_STACK_DEPTH][TAP_DIR_LEN];  // saved directories, the oldest in entry 0
extern int32_t TAPDirStackDepth;                            // index of the top entry; -1 when empty

// Changes the current directory to PATH: 1 on success, else 0. The first
// call of a module's life first changes to /ProgramFiles to learn what the
// firmware answers on success (a relative PATH then starts there); a failed
// change is tried once more with the path's UTF-8 form when that fits
// TAP_UTF8_PATH_LEN.
int32_t HDD_ChangeDir(const char* path);
// Copies the current directory, read from the firmware's task data, into
// BUFFER (TAP_DIR_LEN bytes): 0, or -3 with BUFFER emptied when the task data
// is missing or the directory does not fit; 0 with BUFFER untouched when the
// task has no directory.
int32_t HDD_TAP_GetCurrentDir(char* buffer);
// Saves the current directory on top of the stack: 1, or 0 when the stack is
// full or the directory cannot be read.
int32_t HDD_TAP_PushDir(void);
// Takes the top entry off the stack and changes to it: the change's result,
// or 0 on an empty stack; the entry is gone even when the change fails.
int32_t HDD_TAP_PopDir(void);

// --- Firmware symbol lookup -----------------------------------------------

// The address of SYMBOL_NAME in the running process (the firmware and what it
// loaded globally), through the dynamic linker; null when it is not there.
void* TryResolve(const char* symbolName);
// The address of the firmware's UTF-8 routine, or null on firmware without
// it; kept once found, looked up again while missing. Only its presence is
// used (isUTFFirmware).
void* FIS_fwAppl_ConvertToValidUTF8Str(void);
// The firmware's task table (_tapTask), or null; kept once found.
TapTaskEntry* FIS_vTAPTable(void);
// The firmware's current-task index (_curTapTask), or null; kept once found.
int32_t* FIS_vCurTapTask(void);

// --- UTF-8 detection and conversion ----------------------------------------

// 1 when the firmware exports its UTF-8 routine, else 0.
int32_t isUTFFirmware(void);
// 1 when a 2-, 3- or 4-byte UTF-8 sequence starts at P (bit patterns only,
// nothing read past a zero byte); always 0 on firmware without UTF-8.
int32_t isUTF8Char(const char* p);
// Clears both flags, then sets *HAS_LATIN1 when TEXT holds a byte of 0x80 or
// more outside a UTF-8 sequence and *HAS_UTF8 when it holds a sequence
// (either pointer may be null); a sequence moves the walk on by two bytes
// whatever its length.
void GetStringEncoding(const char* text, int32_t* hasLatin1, int32_t* hasUTF8);
// The UTF-8 form of the Latin-1 byte at P: the byte below 0x80, else its two
// bytes as one number, the first byte high (0xC3A9 for 0xE9); 0 for null.
uint16_t CharToUTF8(const char* p);
// Writes SOURCE into DEST (DEST_SIZE bytes) converted from Latin-1 to UTF-8
// when it holds Latin-1 bytes and no UTF-8 sequence, else copied; DEST holds
// "" when the result does not fit; nothing is written for null or size 0.
void StrToUTF8(const char* source, char* dest, uint32_t destSize);

}  // extern "C"
