#include "helpers.h"

// The directory stack: saved directories, oldest in entry 0, and the index of
// the top entry (-1 when the stack is empty).
char TAPDirStack[TAP_DIR_STACK_DEPTH][TAP_DIR_LEN];
int32_t TAPDirStackDepth = -1;
