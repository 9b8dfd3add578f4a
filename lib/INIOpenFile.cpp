#include <string.h>

#include "helpers.h"
#include "tap.h"

namespace {

constexpr uint32_t kNewTextSize = 512;
// Files this long or longer would need a capacity beyond 32 bits.
constexpr uint32_t kLongestFile = 0xFFFFFC00u;

// Makes sure a non-empty text ends in a line end; the capacity always leaves
// more than 512 bytes free after the file's bytes.
void endLastLine(char* text) {
  const size_t length = strlen(text);
  if (length > 0 && text[length - 1] != '\r' && text[length - 1] != '\n') strcpy(text + length, "\r\n");
}

}  // namespace

// Loads FILE_NAME, found as INILocateFile finds it, whole into INIBuffer, or
// prepares an empty text when it is found nowhere. Answers the location code,
// 1 for a prepared text, 0 on failure. The caller's directory is current
// again afterwards; the caller closes the text whatever the answer.
INILOCATION INIOpenFile(const char* fileName, const char* appName) {
  INICloseFile();  // a text still open would be lost otherwise
  HDD_TAP_PushDir();
  const INILOCATION where = INILocateFile(fileName, appName);
  if (where == INILOCATION_NotFound) {
    HDD_TAP_PopDir();
    INIBuffer = static_cast<char*>(TAP_MemAlloc(kNewTextSize));
    if (INIBuffer == nullptr) return INILOCATION_NotFound;
    BufferSize = kNewTextSize;
    TAP_MemSet(INIBuffer, 0, kNewTextSize);
    return INILOCATION_NewFile;
  }

  TYPE_File* file = TAP_Hdd_Fopen(fileName);
  if (file == nullptr) {
    HDD_TAP_PopDir();
    return INILOCATION_NotFound;
  }
  const uint32_t length = TAP_Hdd_Flen(file);
  bool read = false;
  if (length < kLongestFile) {
    const uint32_t capacity = ((length >> 9) + 2) << 9;
    INIBuffer = static_cast<char*>(TAP_MemAlloc(capacity));
    if (INIBuffer != nullptr) {
      BufferSize = capacity;
      TAP_MemSet(INIBuffer, 0, capacity);
      read = TAP_Hdd_Fread(INIBuffer, length, 1, file) != 0;
      endLastLine(INIBuffer);
    }
  }
  TAP_Hdd_Fclose(file);
  if (INIBuffer != nullptr && INIBuffer[0] == '\0') {
    strcpy(INIBuffer, "\r\n");  // an empty file, or a read that delivered nothing
    read = true;
  }
  HDD_TAP_PopDir();
  return INIBuffer != nullptr && read ? where : INILOCATION_NotFound;
}
