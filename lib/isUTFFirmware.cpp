#include "helpers.h"

// UTF-8-capable firmware exports its UTF-8 routine; only that matters.
int32_t isUTFFirmware(void) { return FIS_fwAppl_ConvertToValidUTF8Str() != nullptr; }
