#include "helpers.h"

// Address of the firmware's current-task index, found once and kept; the
// index itself is read afresh at every use.
static int32_t* vcurTapTask;

int32_t* FIS_vCurTapTask(void) {
  if (vcurTapTask == nullptr) vcurTapTask = static_cast<int32_t*>(TryResolve("_curTapTask"));
  return vcurTapTask;
}
