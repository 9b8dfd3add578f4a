#include <string.h>

#include "helpers.h"
#include "tap.h"

namespace {

// Enters FOLDER below the current directory, creating it when missing.
bool enterCreating(const char* folder) {
  if (!TAP_Hdd_Exist(folder)) TAP_Hdd_Create(folder, ATTR_FOLDER);
  return HDD_ChangeDir(folder);
}

// Enters the folder MODE names; mode 2 is the current directory.
bool enterSaveFolder(INILOCATION mode, const char* appName) {
  if (mode == INILOCATION_AtCurrentDir) return true;
  if (!HDD_ChangeDir("/ProgramFiles")) return false;
  if (mode == INILOCATION_AtProgramFiles) return true;
  if (!enterCreating("Settings")) return false;
  return mode == INILOCATION_AtSettings || enterCreating(appName);
}

// Rewrites FILE_NAME in the current directory whole with the open text.
bool rewrite(const char* fileName) {
  TAP_Hdd_Delete(fileName);
  TAP_Hdd_Create(fileName, ATTR_NORMAL);
  TYPE_File* file = TAP_Hdd_Fopen(fileName);
  bool written = false;
  if (file != nullptr) {
    const void* end = memchr(INIBuffer, 0, BufferSize);
    const uint32_t length = end ? static_cast<uint32_t>(static_cast<const char*>(end) - INIBuffer) : BufferSize;
    written = TAP_Hdd_Fwrite(INIBuffer, length, 1, file) == 1;
    TAP_Hdd_Fclose(file);
  }
  // An empty or short file would be read back as another text: leave none.
  if (!written) TAP_Hdd_Delete(fileName);
  return written;
}

}  // namespace

// Writes the open text to FILE_NAME in the place MODE names (a location code;
// 0 and 1 mean "/ProgramFiles"), creating "Settings" and the subfolder
// APP_NAME for modes 3 and 4. Answers 1 when the file was written whole. The
// caller's directory is current again afterwards.
int32_t INISaveFile(const char* fileName, INILOCATION mode, const char* appName) {
  if (INIBuffer == nullptr || fileName == nullptr || mode > INILOCATION_AtProgramFiles) return 0;
  if (mode == INILOCATION_AtAppName && (appName == nullptr || appName[0] == '\0')) return 0;
  if (mode == INILOCATION_NotFound || mode == INILOCATION_NewFile) mode = INILOCATION_AtProgramFiles;

  HDD_TAP_PushDir();
  const bool saved = enterSaveFolder(mode, appName) && rewrite(fileName);
  HDD_TAP_PopDir();
  return saved;
}
