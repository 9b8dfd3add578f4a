// devsim check: which value the module will apply from its settings file,
// and why, in one line (a second names the files on the disk it passes
// over). The answer comes from the loaded module itself, never from a model
// of it: its search (INILocateFile, INIOpenFile), its read (INIGetInt), its
// entry search (INIFindStartEnd, stricstr) on the sandbox disk. So does the
// reason: how many value characters its read examines and which of them it
// turns down, it answers for texts made from the entry; the rest is read
// off the bytes around the place its own search names.
#pragma once

#include "options.h"

namespace devsim {

// Starts the session (FILE: on a fresh sandbox whose disk holds FILE as the
// module's settings file), asks the module, prints the lines; answers the
// exit status (0, or 1 for bad input, which ends the program with one line
// before).
int check(const Options& options, int argc, char** argv);

}  // namespace devsim
