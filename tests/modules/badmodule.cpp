// A module that carries the identity header but no __TAP_Init_; built with
// BAD_MAGIC its header carries the wrong magic.
#include "tapheader.h"

#ifdef BAD_MAGIC
#define MAGIC "NOTMIPS!"
#else
#define MAGIC TAP_HEADER_MAGIC
#endif

#define SECTION(name) __attribute__((section(name), used))
SECTION(TAP_SECTION_ETC) const char __tap_etc_str__[TAP_ETC_SIZE] = "Jan 1 2026";
SECTION(TAP_SECTION_DESCRIPTION) const char __tap_description__[TAP_DESCRIPTION_SIZE] = "broken";
SECTION(TAP_SECTION_AUTHOR) const char __tap_author_name__[TAP_AUTHOR_SIZE] = "tests";
SECTION(TAP_SECTION_VERSION) const char __tap_program_version__[TAP_VERSION_SIZE] = "V0";
SECTION(TAP_SECTION_NAME) const char __tap_program_name__[TAP_NAME_SIZE] = "broken V0";
SECTION(TAP_SECTION_ID) const uint32_t __tap_ud__ = 1;
SECTION(TAP_SECTION_HEADER) const TapModuleHeader __tap_Header__ = tapModuleHeader(MAGIC);
