// The identity header of a test module: the seven sections the loaders read
// before they map it, NAME its program name and MAGIC its magic.
#pragma once

#include "tapheader.h"

#define TEST_MODULE_SECTION(name) __attribute__((section(name), used))
#define TEST_MODULE_IDENTITY(NAME, MAGIC)                                                                   \
  TEST_MODULE_SECTION(TAP_SECTION_ETC) const char __tap_etc_str__[TAP_ETC_SIZE] = "Jan 1 2026";             \
  TEST_MODULE_SECTION(TAP_SECTION_DESCRIPTION) const char __tap_description__[TAP_DESCRIPTION_SIZE] = NAME; \
  TEST_MODULE_SECTION(TAP_SECTION_AUTHOR) const char __tap_author_name__[TAP_AUTHOR_SIZE] = "tests";        \
  TEST_MODULE_SECTION(TAP_SECTION_VERSION) const char __tap_program_version__[TAP_VERSION_SIZE] = "V0";     \
  TEST_MODULE_SECTION(TAP_SECTION_NAME) const char __tap_program_name__[TAP_NAME_SIZE] = NAME;              \
  TEST_MODULE_SECTION(TAP_SECTION_ID) const uint32_t __tap_ud__ = 1;                                        \
  TEST_MODULE_SECTION(TAP_SECTION_HEADER) const TapModuleHeader __tap_Header__ = tapModuleHeader(MAGIC);
