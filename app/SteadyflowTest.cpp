#include "SteadyflowTest.h"

#include <stdlib.h>

#include "Steadyflow.h"
#include "helpers.h"
#include "tap.h"

namespace {

using namespace steadyflow;  // the settings contract

// Opens the settings text from the module folder, for a save.
INILOCATION openForSave(void) {
  TAP_Hdd_ChangeDir(kSettingsFolder);
  return INIOpenFile(kSettingsFile, nullptr);
}

// Sets MinimumKBFree in the open text and writes the text into the current
// directory.
void saveValue(void) {
  INISetInt(kKey, MinimumKBFree);
  INISaveFile(kSettingsFile, INILOCATION_AtCurrentDir, nullptr);
}

}  // namespace

int32_t MinimumKBFree;
char puffer[1024];

// Makes sure "/ProgramFiles/Settings/Steadyflow" exists. A folder that cannot
// be entered stops the work, so nothing is created in the wrong place.
void CreateRootDir(void) {
  HDD_TAP_PushDir();
  if (HDD_ChangeDir("/ProgramFiles")) {
    if (!TAP_Hdd_Exist("Settings")) TAP_Hdd_Create("Settings", ATTR_FOLDER);
    if (HDD_ChangeDir("Settings") && !TAP_Hdd_Exist("Steadyflow")) TAP_Hdd_Create("Steadyflow", ATTR_FOLDER);
  }
  HDD_TAP_PopDir();
}

// Sets MinimumKBFree from the settings file, writing a file with the default
// when there is none anywhere. Stays in the module folder.
//
// A file that could not be read whole gives the default: its last line may
// end in a value cut short. The second look, made to write the new file, may
// find a file the first one missed (a change of directory or an existence
// test that failed); its value is then taken, not overwritten.
void LoadINI(void) {
  TAP_Hdd_ChangeDir(kSettingsFolder);
  INILOCATION where = INIOpenFile(kSettingsFile, nullptr);
  if (where == INILOCATION_NewFile) {
    INICloseFile();
    where = openForSave();
    if (where == INILOCATION_NewFile) {
      MinimumKBFree = kDefault;
      saveValue();
      INICloseFile();
      return;
    }
  }
  MinimumKBFree = where == INILOCATION_NotFound ? kDefault : INIGetInt(kKey, kDefault, kLowest, kHighest);
  INICloseFile();
}

// Writes MinimumKBFree into the settings file in the module folder (or the
// current directory, when the module folder cannot be entered). A file that
// could not be read whole is left as it is rather than replaced by its part.
void SaveINI(void) {
  if (openForSave() != INILOCATION_NotFound) saveValue();
  INICloseFile();
}

// The start-up run: folders, setting, then the command that applies it,
// shown on a terminal first.
int32_t TAP_Main(void) {
  char command[104];
  CreateRootDir();
  LoadINI();
  TAP_SPrint(command, "echo %d > /proc/sys/vm/min_free_kbytes", MinimumKBFree);
  TAP_SPrint(puffer, "%s\n", command);
  PrintNet(puffer);
  system(command);
  return 0;
}

uint32_t TAP_EventHandler(uint32_t event, uint32_t param1, uint32_t param2) {
  (void)event;
  (void)param2;
  return param1;
}
