#include "helpers.h"

// Saves the current directory on top of the directory stack; answers 1, or 0
// when the stack is full or the directory cannot be read (the depth is then
// unchanged).
int32_t HDD_TAP_PushDir(void) {
  if (TAPDirStackDepth < -1 || TAPDirStackDepth >= static_cast<int32_t>(TAP_DIR_STACK_DEPTH) - 1) return 0;
  ++TAPDirStackDepth;
  if (HDD_TAP_GetCurrentDir(TAPDirStack[TAPDirStackDepth]) == 0) return 1;
  --TAPDirStackDepth;
  return 0;
}
