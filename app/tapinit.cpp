// The module's init unit: lays out the identity header and supplies the entry
// hand-over and the few runtime hooks the module cannot take from a C++
// runtime (it links none).
#include "SteadyflowTest.h"
#include "tap.h"
#include "tapheader.h"

// Each field lives in its own section so the loader finds it by name. The
// sections are defined in file order; -fno-toplevel-reorder keeps that order.
#define TAP_SECTION(name) __attribute__((section(name), used))

TAP_SECTION(TAP_SECTION_ETC) const char __tap_etc_str__[TAP_ETC_SIZE] = TAP_BUILD_DATE;
TAP_SECTION(TAP_SECTION_DESCRIPTION) const char __tap_description__[TAP_DESCRIPTION_SIZE] = TAP_DESCRIPTION;
TAP_SECTION(TAP_SECTION_AUTHOR) const char __tap_author_name__[TAP_AUTHOR_SIZE] = TAP_AUTHOR_NAME;
TAP_SECTION(TAP_SECTION_VERSION) const char __tap_program_version__[TAP_VERSION_SIZE] = TAP_PROGRAM_VERSION;
TAP_SECTION(TAP_SECTION_NAME) const char __tap_program_name__[TAP_NAME_SIZE] = TAP_PROGRAM_NAME;
TAP_SECTION(TAP_SECTION_ID) const uint32_t __tap_ud__ = TAP_ID;
TAP_SECTION(TAP_SECTION_HEADER) const TapModuleHeader __tap_Header__ = tapModuleHeader(TAP_HEADER_MAGIC);

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
