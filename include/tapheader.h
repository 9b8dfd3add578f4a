// The module's identity header: seven read-only sections that the firmware's
// loader reads before it maps the module, and the record through which the
// module hands over its two entry points.
#pragma once

#include <stdint.h>

extern "C" {

// The seven sections, in the order they are laid out in the file; each holds
// one exported field of the size below.
#define TAP_SECTION_ETC "._tap_etcinfo"
#define TAP_SECTION_DESCRIPTION "._tap_description"
#define TAP_SECTION_AUTHOR "._tap_author_name"
#define TAP_SECTION_VERSION "._tap_program_version"
#define TAP_SECTION_NAME "._tap_program_name"
#define TAP_SECTION_ID "._tap_id"
#define TAP_SECTION_HEADER "._tap_header"

// Field sizes, in the same order.
enum : uint32_t {
  TAP_ETC_SIZE = 64,
  TAP_DESCRIPTION_SIZE = 128,
  TAP_AUTHOR_SIZE = 64,
  TAP_VERSION_SIZE = 64,
  TAP_NAME_SIZE = 64,
  TAP_ID_SIZE = 4,
  TAP_HEADER_SIZE = 32,
};

// Module header: the magic "TFAPMIPS" (no terminator), a 32-bit value 0x10,
// then zeros.
struct TapModuleHeader {
  char magic[8];
  uint32_t value;
  uint8_t reserved[20];
};
static_assert(sizeof(TapModuleHeader) == TAP_HEADER_SIZE, "module header is 32 bytes");

#define TAP_HEADER_MAGIC "TFAPMIPS"
#define TAP_HEADER_VALUE 0x10u

// The module header as the module carries it, made at compile time.
constexpr TapModuleHeader tapModuleHeader(const char (&magic)[9]) {
  TapModuleHeader header{};
  for (int i = 0; i < 8; ++i) header.magic[i] = magic[i];
  header.value = TAP_HEADER_VALUE;
  return header;
}

// The sections with their sizes, for those who read a module file.
struct TapHeaderSection {
  const char* name;
  uint32_t size;
};
constexpr TapHeaderSection kTapHeaderSections[] = {
    {TAP_SECTION_ETC, TAP_ETC_SIZE},         {TAP_SECTION_DESCRIPTION, TAP_DESCRIPTION_SIZE},
    {TAP_SECTION_AUTHOR, TAP_AUTHOR_SIZE},   {TAP_SECTION_VERSION, TAP_VERSION_SIZE},
    {TAP_SECTION_NAME, TAP_NAME_SIZE},       {TAP_SECTION_ID, TAP_ID_SIZE},
    {TAP_SECTION_HEADER, TAP_HEADER_SIZE},
};

extern const char __tap_etc_str__[TAP_ETC_SIZE];
extern const char __tap_description__[TAP_DESCRIPTION_SIZE];
extern const char __tap_author_name__[TAP_AUTHOR_SIZE];
extern const char __tap_program_version__[TAP_VERSION_SIZE];
extern const char __tap_program_name__[TAP_NAME_SIZE];
extern const uint32_t __tap_ud__;
extern const TapModuleHeader __tap_Header__;

// Lays out the identity header, in one unit of each module: every field in
// a section of its own, where the loader finds it by name. The sections come
// in the order above where the unit keeps definition order, as tap_module's
// -fno-toplevel-reorder does.
#define TAP_IDENTITY_SECTION(name) __attribute__((section(name), used))
#define TAP_IDENTITY(DATE, DESCRIPTION, AUTHOR, VERSION, NAME, ID, MAGIC)                                           \
  TAP_IDENTITY_SECTION(TAP_SECTION_ETC) const char __tap_etc_str__[TAP_ETC_SIZE] = DATE;                            \
  TAP_IDENTITY_SECTION(TAP_SECTION_DESCRIPTION) const char __tap_description__[TAP_DESCRIPTION_SIZE] = DESCRIPTION; \
  TAP_IDENTITY_SECTION(TAP_SECTION_AUTHOR) const char __tap_author_name__[TAP_AUTHOR_SIZE] = AUTHOR;                \
  TAP_IDENTITY_SECTION(TAP_SECTION_VERSION) const char __tap_program_version__[TAP_VERSION_SIZE] = VERSION;         \
  TAP_IDENTITY_SECTION(TAP_SECTION_NAME) const char __tap_program_name__[TAP_NAME_SIZE] = NAME;                     \
  TAP_IDENTITY_SECTION(TAP_SECTION_ID) const uint32_t __tap_ud__ = ID;                                              \
  TAP_IDENTITY_SECTION(TAP_SECTION_HEADER) const TapModuleHeader __tap_Header__ = tapModuleHeader(MAGIC);

// The loader owns this record; __TAP_Init_ fills both slots.
typedef int32_t (*TapMainEntry)(void);
typedef uint32_t (*TapEventEntry)(uint32_t event, uint32_t param1, uint32_t param2);
struct TapEntryRecord {
  TapMainEntry main;
  TapEventEntry event;
};

// Called once by the firmware after loading the module: fills both slots of
// ENTRIES and answers 0. The init unit (tapinit.cpp) defines it.
int32_t __TAP_Init_(TapEntryRecord* entries);
// The module's start, which the module defines: called once after
// __TAP_Init_, on the firmware's thread, and must return; its result goes
// back to the firmware.
int32_t TAP_Main(void);
// Called for each event the firmware delivers, with its code and two
// parameters, which the module defines; its result goes back to the firmware.
uint32_t TAP_EventHandler(uint32_t event, uint32_t param1, uint32_t param2);

// Runtime hooks the module supplies itself; "__builtin_new" too, which C++
// cannot name (see tapinit.cpp).
void _init(void);
void _finit(void);

}  // extern "C"

// Whether the firmware's loader refuses HEADER: the one check of the header
// that devsim, the device image's loader and the VM (which runs that loader)
// all make. It takes a module only when both the magic and the value are the
// ones above. The value follows the magic in the header the loader reads
// before it maps the module, so it names the header's format, and a loader
// that compares the magic has no reason to take a format it does not know.
// Refusing is also the safe side to err on: a module refused here that the
// device would run costs a rebuild; one run here that the device refuses
// fails in the field. Where it refuses, LINE holds the one line that says
// why, the magic's bytes escaped ("\"", "\\", "\xHH"). Plain code: tapload,
// built without the C++ runtime, uses it as devsim does.
enum : uint32_t { TAP_HEADER_REFUSAL_SIZE = 128 };
inline bool tapHeaderRefused(const TapModuleHeader& header, char (&line)[TAP_HEADER_REFUSAL_SIZE]) {
  const char magic[] = TAP_HEADER_MAGIC;
  bool refused = header.value != TAP_HEADER_VALUE;
  for (int i = 0; i < 8; ++i) refused = refused || header.magic[i] != magic[i];
  if (!refused) return false;
  const char hex[] = "0123456789ABCDEF";
  uint32_t n = 0;
  auto put = [&](const char* text) {
    while (*text != '\0') line[n++] = *text++;
  };
  auto putMagic = [&](const char* bytes) {
    put("\"");
    for (int i = 0; i < 8; ++i) {
      const uint8_t c = static_cast<uint8_t>(bytes[i]);
      if (c == '"' || c == '\\') line[n++] = '\\';
      if (c >= ' ' && c <= '~') {
        line[n++] = static_cast<char>(c);
        continue;
      }
      put("\\x");
      line[n++] = hex[c >> 4];
      line[n++] = hex[c & 15];
    }
    put("\" 0x");
  };
  auto putHex = [&](uint32_t value) {
    int shift = 28;
    while (shift > 0 && (value >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) line[n++] = hex[(value >> shift) & 15];
  };
  put("wrong module header ");
  putMagic(header.magic);
  putHex(header.value);
  put("; the device's loader takes only ");
  putMagic(magic);
  putHex(TAP_HEADER_VALUE);
  line[n] = '\0';
  return true;
}
