#include "helpers.h"

// Removes the top entry of the directory stack and changes back to it; answers
// the change's result, or 0 on an empty stack. The entry is gone even when the
// change fails.
int32_t HDD_TAP_PopDir(void) {
  if (TAPDirStackDepth < 0 || TAPDirStackDepth >= static_cast<int32_t>(TAP_DIR_STACK_DEPTH)) return 0;
  const char* saved = TAPDirStack[TAPDirStackDepth];
  --TAPDirStackDepth;
  return HDD_ChangeDir(saved);
}
