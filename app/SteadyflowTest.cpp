#include "SteadyflowTest.h"

#include "helpers.h"
#include "tap.h"

int32_t MinimumKBFree;
char puffer[1024];

void CreateRootDir(void) {}

void LoadINI(void) {}

void SaveINI(void) {}

int32_t TAP_Main(void) {
  return 0;
}

uint32_t TAP_EventHandler(uint32_t event, uint32_t param1, uint32_t param2) {
  (void)event;
  (void)param2;
  return param1;
}
