// devsim check: which value the module will apply from an entry of its
// settings file, and why, in one line (a second names the files on the disk
// it passes over). The answer comes from the loaded module itself, never from a model
// of it: its search (INILocateFile, INIOpenFile), its read (INIGetInt), its
// entry search (INIFindStartEnd, stricstr) on the sandbox disk. So does the
// reason: how many value characters its read examines and which of them it
// turns down, it answers for texts made from the entry; the rest is read
// off the bytes around the place its own search names.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "identity.h"
#include "options.h"

namespace devsim {

// The entry check explains, as the module reads it: the disk paths of its
// settings file, the key, and the default and limits the module gives
// INIGetInt for it.
struct SettingsEntry {
  std::vector<std::string> files;  // where the file may lie, in the order the module's search takes them
  bool searched = false;           // the module's own search picks one of FILES; else FILES holds the one
  std::string key;
  int32_t fallback = 0, lowest = 0, highest = 0;
  bool own = false;  // this project's module's entry, whole: the module writes the file where there is none
};

// The entry O asks of the module MODULE (its header IDENTITY). What O does
// not give is this project's module's (app/Steadyflow.h), for that module
// only: another module without all five of --file, --key, --default, --min
// and --max, or limits the wrong way round, end devsim with one line naming
// what is missing and exit status 2.
SettingsEntry settingsEntry(const Options& o, const std::string& module, const sim::Identity& identity);

// Starts the session (FILE: on a fresh sandbox whose disk holds FILE as the
// module's settings file), asks the module, prints the lines; answers the
// exit status (0; bad input ends the program with one line and 1, another
// module without its entry's options with one line and 2).
int check(const Options& options, int argc, char** argv);

}  // namespace devsim
