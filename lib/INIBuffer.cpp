#include "helpers.h"

// The one INI text the store holds: a heap block from the firmware and its
// capacity. INICommentBuffer is a second slot that INICloseFile releases.
char* INIBuffer;
uint32_t BufferSize;
char* INICommentBuffer;
