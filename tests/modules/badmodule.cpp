// A module that carries the identity header but no __TAP_Init_; built with
// BAD_MAGIC its header carries the wrong magic.
#include "tapheader.h"

#ifdef BAD_MAGIC
#define MAGIC {'N', 'O', 'T', 'M', 'I', 'P', 'S', '!'}
#else
#define MAGIC {'T', 'F', 'A', 'P', 'M', 'I', 'P', 'S'}
#endif

#define SECTION(name) __attribute__((section(name), used))
SECTION("._tap_etcinfo") const char __tap_etc_str__[TAP_ETC_SIZE] = "Jan 1 2026";
SECTION("._tap_description") const char __tap_description__[TAP_DESCRIPTION_SIZE] = "broken";
SECTION("._tap_author_name") const char __tap_author_name__[TAP_AUTHOR_SIZE] = "tests";
SECTION("._tap_program_version") const char __tap_program_version__[TAP_VERSION_SIZE] = "V0";
SECTION("._tap_program_name") const char __tap_program_name__[TAP_NAME_SIZE] = "broken V0";
SECTION("._tap_id") const uint32_t __tap_ud__ = 1;
SECTION("._tap_header") const TapModuleHeader __tap_Header__ = {MAGIC, TAP_HEADER_VALUE, {}};
