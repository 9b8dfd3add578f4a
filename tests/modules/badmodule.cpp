// A module that carries the identity header but no __TAP_Init_; built with
// BAD_MAGIC its header carries the wrong magic.
#include "tapheader.h"

#ifdef BAD_MAGIC
TAP_IDENTITY("Jan 1 2026", "broken V0", "tests", "V0", "broken V0", 1, "NOTMIPS!")
#else
TAP_IDENTITY("Jan 1 2026", "broken V0", "tests", "V0", "broken V0", 1, TAP_HEADER_MAGIC)
#endif
