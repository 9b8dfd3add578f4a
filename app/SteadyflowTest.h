// The application: its settings and its start-up run. Its identity stands in
// its build (app/CMakeLists.txt), which lays it out in the header sections.
#pragma once

#include <stdint.h>

#include "tapheader.h"

extern "C" {

extern int32_t MinimumKBFree;  // reserve in KiB, set by LoadINI
extern char puffer[1024];      // the line shown on the terminal

void CreateRootDir(void);
void LoadINI(void);
void SaveINI(void);

}  // extern "C"
