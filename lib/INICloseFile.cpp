#include "helpers.h"
#include "tap.h"

// Releases the open text and the comment buffer; harmless when nothing is open.
void INICloseFile(void) {
  if (INIBuffer != nullptr) {
    TAP_MemFree(INIBuffer);
    INIBuffer = nullptr;
    BufferSize = 0;
  }
  if (INICommentBuffer != nullptr) {
    TAP_MemFree(INICommentBuffer);
    INICommentBuffer = nullptr;
  }
}
