#include "helpers.h"

// Address of the firmware's UTF-8 routine, found once and kept; a miss is
// looked up again at the next call.
static void* _Appl_ConvertToValidUTF8Str;

void* FIS_fwAppl_ConvertToValidUTF8Str(void) {
  if (_Appl_ConvertToValidUTF8Str == nullptr)
    _Appl_ConvertToValidUTF8Str = TryResolve("_Z26Appl_ConvertToValidUTF8StrPhi");
  return _Appl_ConvertToValidUTF8Str;
}
