#include "helpers.h"

// Address of the firmware's task table, found once and kept.
static TapTaskEntry* vTAP_TableAddress;

TapTaskEntry* FIS_vTAPTable(void) {
  if (vTAP_TableAddress == nullptr) vTAP_TableAddress = static_cast<TapTaskEntry*>(TryResolve("_tapTask"));
  return vTAP_TableAddress;
}
