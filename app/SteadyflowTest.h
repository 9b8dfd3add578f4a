// The application: its identity, its settings and its start-up run.
#pragma once

#include <stdint.h>

#include "tapheader.h"

// Identity values; tapinit.cpp lays them out in the header sections.
#define TAP_PROGRAM_NAME "SteadyflowTest V1.0"
#define TAP_PROGRAM_VERSION "V1.0"
#define TAP_DESCRIPTION "SteadyflowTest"
#define TAP_AUTHOR_NAME "The Steadyflow team"
#define TAP_ID 0x2A5F0001u

// The build date, "Mon D YYYY"; the build passes it in.
#ifndef TAP_BUILD_DATE
#define TAP_BUILD_DATE "Jan 1 1970"
#endif

extern "C" {

extern int32_t MinimumKBFree;  // reserve in KiB, set by LoadINI
extern char puffer[1024];      // the line shown on the terminal

void CreateRootDir(void);
void LoadINI(void);
void SaveINI(void);

}  // extern "C"
