// A module's init unit: the entry hand-over and the few runtime hooks a
// module cannot take from a C++ runtime (it links none). Every module has it
// (steadyflow_add_module), beside the identity header its build lays out from
// the module's own identity.
#include "tap.h"
#include "tapheader.h"

extern "C" {

int32_t __TAP_Init_(TapEntryRecord* entries) {
  entries->main = TAP_Main;
  entries->event = TAP_EventHandler;
  return 0;
}

void abort(void) {
  for (;;) TAP_Sleep(1000);
}

// The name is reserved to the compiler in C++ source, so it is bound by label.
void* builtin_new(int32_t size) __asm__("__builtin_new");
void* builtin_new(int32_t size) {
  TAP_Print("__builtin_new. size=%d\n", size);
  return TAP_MemAlloc(static_cast<dword>(size));
}

void _init(void) {}

void _finit(void) {}

}  // extern "C"
