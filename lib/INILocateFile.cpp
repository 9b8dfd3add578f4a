#include <string.h>

#include "helpers.h"
#include "tap.h"

// Finds FILE_NAME: in the current directory (which ends the search), else in
// "/ProgramFiles", "/ProgramFiles/Settings" and the subfolder APP_NAME of it,
// the last folder that holds it winning. Leaves the folder of the file
// current, or the directory of the call when the file is found nowhere.
INILOCATION INILocateFile(const char* fileName, const char* appName) {
  char path[TAP_DIR_LEN];
  memset(path, 0, sizeof path);
  if (fileName == nullptr) return INILOCATION_NotFound;
  if (TAP_Hdd_Exist(fileName)) return INILOCATION_AtCurrentDir;

  INILOCATION found = INILOCATION_NotFound;
  HDD_TAP_GetCurrentDir(path);  // stays empty when it cannot be read
  if (HDD_ChangeDir("/ProgramFiles")) {
    if (TAP_Hdd_Exist(fileName)) {
      strcpy(path, "/ProgramFiles");
      found = INILOCATION_AtProgramFiles;
    }
    if (HDD_ChangeDir("Settings")) {
      if (TAP_Hdd_Exist(fileName)) {
        strcpy(path, "/ProgramFiles/Settings");
        found = INILOCATION_AtSettings;
      }
      if (appName != nullptr && appName[0] != '\0' && appName[0] != '/' && HDD_ChangeDir(appName) &&
          TAP_Hdd_Exist(fileName))
        return INILOCATION_AtAppName;
    }
  }
  if (path[0] != '\0') HDD_ChangeDir(path);
  return found;
}
