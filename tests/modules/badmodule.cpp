// A module that carries the identity header but no __TAP_Init_; built with
// BAD_MAGIC its header carries the wrong magic.
#include "identity.h"

#ifdef BAD_MAGIC
TEST_MODULE_IDENTITY("broken V0", "NOTMIPS!")
#else
TEST_MODULE_IDENTITY("broken V0", TAP_HEADER_MAGIC)
#endif
