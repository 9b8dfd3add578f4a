#include "helpers.h"
#include "tap.h"

// Firmware differ in what TAP_Hdd_ChangeDir answers on success. The first
// change learns it from "/ProgramFiles", which always exists.
static int32_t ReturnTypeToBeChecked = 1;
static int32_t ChDirSuccessful = 0;

static int32_t changeDir(const char* path) {
  return static_cast<int32_t>(TAP_Hdd_ChangeDir(path)) == ChDirSuccessful;
}

// Changes the current directory to PATH; answers 1 on success, else 0. A
// failed change is tried once more with the path's UTF-8 form, unless that
// form does not fit the conversion buffer: a shortened path is never tried.
int32_t HDD_ChangeDir(const char* path) {
  if (path == nullptr) return 0;
  if (ReturnTypeToBeChecked) {
    ChDirSuccessful = static_cast<int32_t>(TAP_Hdd_ChangeDir("/ProgramFiles"));
    ReturnTypeToBeChecked = 0;
  }
  if (changeDir(path)) return 1;

  char utf8[TAP_UTF8_PATH_LEN];
  StrToUTF8(path, utf8, sizeof utf8);
  if (utf8[0] == '\0' && path[0] != '\0') return 0;  // the UTF-8 form was refused
  return changeDir(utf8);
}
