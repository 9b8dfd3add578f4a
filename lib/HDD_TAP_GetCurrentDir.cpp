#include <string.h>

#include "helpers.h"

// Reads the current directory out of the firmware's task table into BUFFER
// (TAP_DIR_LEN bytes): the current task's directory string without its
// prefix. Answers 0, or -3 with an empty BUFFER when the task data cannot be
// found or its directory cannot be read whole. A task without directory
// record or string answers 0 and leaves BUFFER untouched.
int32_t HDD_TAP_GetCurrentDir(char* buffer) {
  TapTaskEntry* table = FIS_vTAPTable();
  const int32_t* currentTask = FIS_vCurTapTask();
  if (table == nullptr || currentTask == nullptr) {
    if (buffer) buffer[0] = '\0';
    return -3;
  }
  if (buffer == nullptr) return 0;

  const TapDirRecord* record = table[*currentTask].dirRecord;
  if (record == nullptr || record->directory == nullptr) return 0;

  // Skip the prefix, stopping at a terminator inside it: a string that short
  // holds no directory.
  const char* dir = record->directory;
  for (uint32_t i = 0; i < TAP_DIR_PREFIX_LEN; ++i, ++dir) {
    if (*dir == '\0') {
      buffer[0] = '\0';
      return -3;
    }
  }
  // A directory that does not fit is refused rather than cut short.
  uint32_t length = 0;
  while (dir[length] != '\0') {
    if (++length >= TAP_DIR_LEN) {
      buffer[0] = '\0';
      return -3;
    }
  }
  memcpy(buffer, dir, length + 1);
  return 0;
}
