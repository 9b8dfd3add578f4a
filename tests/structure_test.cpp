// The module file as the device's loader sees it: ELF kind, identity header,
// needed libraries, initialiser, exports and imports; on the device build
// also hash table, relocations and instruction set.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "elf_file.h"
#include "harness.h"

namespace {

// Every function and global of the module, each exported under its own name.
// What every module made by steadyflow_add_module exports: its identity,
// its entries and hooks, and the whole helper library; then this project's
// application.
const char* const kExports[] = {
    "__tap_etc_str__", "__tap_description__", "__tap_author_name__", "__tap_program_version__",
    "__tap_program_name__", "__tap_ud__", "__tap_Header__",
    "__TAP_Init_", "TAP_Main", "TAP_EventHandler", "abort", "__builtin_new", "_init", "_finit",
    "PrintNet",
    "INILocateFile", "INIOpenFile", "INISaveFile", "INICloseFile",
    "HDD_ChangeDir", "HDD_TAP_GetCurrentDir", "HDD_TAP_PushDir", "HDD_TAP_PopDir", "TAPDirStack",
    "TAPDirStackDepth",
    "INIBuffer", "BufferSize", "INICommentBuffer", "stricstr", "INIFindStartEnd", "INIGetInt",
    "INISetString", "INISetInt",
    "TryResolve", "FIS_fwAppl_ConvertToValidUTF8Str", "FIS_vTAPTable", "FIS_vCurTapTask",
    "isUTFFirmware", "isUTF8Char", "GetStringEncoding", "CharToUTF8", "StrToUTF8",
};
const char* const kApplicationExports[] = {"MinimumKBFree", "puffer", "CreateRootDir", "LoadINI", "SaveINI"};

// The sanitizer build's module imports the sanitizer runtime from the program
// that loads it, and registers its instrumented globals from a constructor.
#ifdef STEADYFLOW_SANITIZE
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

bool isSanitizerName(const std::string& name) {
  for (const char* prefix : {"__asan_", "__ubsan_", "__lsan_", "__sanitizer_"})
    if (name.compare(0, strlen(prefix), prefix) == 0) return true;
  return false;
}

std::set<std::string> allowList(const char* path) {
  std::set<std::string> names;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') names.insert(line);
  return names;
}

class ModuleFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto file = sim::ElfFile::read(moduleFileUnderTest(), error);
    ASSERT_TRUE(file) << error;
    elf_ = std::move(*file);
  }
  std::string contents(const char* section) const {
    const sim::ElfSection* s = elf_.section(section);
    return s ? elf_.contents(*s) : std::string();
  }
  sim::ElfFile elf_;
};

TEST_F(ModuleFile, IsASharedObjectForTheTarget) {
  EXPECT_EQ(elf_.type(), ET_DYN);
  if (std::string(STEADYFLOW_BUILD) == "device") {
    EXPECT_TRUE(elf_.is32Bit());
    EXPECT_EQ(elf_.machine(), EM_MIPS);
    EXPECT_EQ(elf_.flags() & EF_MIPS_ARCH, static_cast<uint32_t>(EF_MIPS_ARCH_32)) << "built for MIPS32";
    EXPECT_EQ(elf_.flags() & EF_MIPS_ABI2, 0u) << "o32, not n32";
    EXPECT_NE(elf_.flags() & EF_MIPS_PIC, 0u) << "position-independent";
  } else {
    EXPECT_EQ(elf_.is32Bit(), sizeof(void*) == 4);
  }
}

TEST_F(ModuleFile, HeaderSectionsComeInOrderWithTheirSizes) {
  const std::pair<const char*, uint64_t> expected[] = {
      {"._tap_etcinfo", 64},        {"._tap_description", 128}, {"._tap_author_name", 64},
      {"._tap_program_version", 64}, {"._tap_program_name", 64}, {"._tap_id", 4},
      {"._tap_header", 32},
  };
  std::vector<std::pair<std::string, uint64_t>> found;
  for (const sim::ElfSection& s : elf_.sections())
    if (s.name.compare(0, 6, "._tap_") == 0) found.push_back({s.name, s.size});
  ASSERT_EQ(found.size(), std::size(expected));
  for (size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].first, expected[i].first) << "section " << i;
    EXPECT_EQ(found[i].second, expected[i].second) << expected[i].first;
    const sim::ElfSection* s = elf_.section(expected[i].first);
    EXPECT_EQ(s->flags & (SHF_WRITE | SHF_ALLOC), static_cast<uint64_t>(SHF_ALLOC)) << "read-only: " << s->name;
  }
  // Each section's symbol stands at its start.
  const char* symbols[] = {"__tap_etc_str__",         "__tap_description__", "__tap_author_name__",
                           "__tap_program_version__", "__tap_program_name__", "__tap_ud__",
                           "__tap_Header__"};
  for (size_t i = 0; i < std::size(symbols); ++i) {
    const sim::ElfSymbol* sym = elf_.dynamicSymbol(symbols[i]);
    ASSERT_NE(sym, nullptr) << symbols[i];
    EXPECT_EQ(sym->value, elf_.section(expected[i].first)->address) << symbols[i];
    EXPECT_EQ(sym->size, expected[i].second) << symbols[i];
  }
}

TEST_F(ModuleFile, HeaderBytes) {
  const std::string header = contents("._tap_header");
  ASSERT_EQ(header.size(), 32u);
  EXPECT_EQ(header.substr(0, 12), std::string("TFAPMIPS\x10\0\0\0", 12));
  EXPECT_EQ(header.substr(12), std::string(20, '\0'));
}

TEST_F(ModuleFile, TextFieldsAreNulPadded) {
  if (ourModuleUnderTest()) {
    EXPECT_EQ(contents("._tap_program_name"), "SteadyflowTest V1.0" + std::string(45, '\0'));
    EXPECT_EQ(contents("._tap_program_version"), "V1.0" + std::string(60, '\0'));
    EXPECT_EQ(contents("._tap_description"), "SteadyflowTest" + std::string(114, '\0'));
  }
  for (const char* field : {"._tap_program_name", "._tap_program_version", "._tap_description",
                            "._tap_author_name", "._tap_etcinfo"}) {
    const std::string text = contents(field);
    const size_t end = text.find('\0');
    ASSERT_NE(end, std::string::npos) << field;
    EXPECT_GT(end, 0u) << field;
    EXPECT_EQ(text.substr(end), std::string(text.size() - end, '\0')) << field;
  }
}

TEST_F(ModuleFile, BuildDateReadsMonthDayYear) {
  const std::string date = contents("._tap_etcinfo").c_str();
  EXPECT_TRUE(
      testing::internal::RE::FullMatch(date, "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [1-9][0-9]? [0-9]{4}"))
      << date;
}

TEST_F(ModuleFile, NeedsExactlyTheFirmwareAndPlatformLibraries) {
  EXPECT_EQ(elf_.needed(), (std::vector<std::string>{"/tapapi/TMS/libtap.so", "libdl.so.0", "libc.so.0"}));
  EXPECT_FALSE(elf_.dynamicValue(DT_SONAME)) << "the firmware loads the module by path";
  EXPECT_FALSE(elf_.dynamicValue(DT_RPATH)) << "the device has its own library paths";
  EXPECT_FALSE(elf_.dynamicValue(DT_RUNPATH)) << "the device has its own library paths";
}

TEST_F(ModuleFile, InitialiserIsTheModulesOwn) {
  const sim::ElfSymbol* init = elf_.dynamicSymbol("_init");
  ASSERT_NE(init, nullptr);
  ASSERT_TRUE(elf_.dynamicValue(DT_INIT));
  EXPECT_EQ(*elf_.dynamicValue(DT_INIT), init->value);
  if (kSanitized) return;
  for (const char* table : {".init_array", ".ctors", ".preinit_array"}) {
    const sim::ElfSection* s = elf_.section(table);
    EXPECT_TRUE(s == nullptr || s->size == 0) << "no static constructors: " << table;
  }
  EXPECT_FALSE(elf_.dynamicValue(DT_INIT_ARRAY));
}

TEST_F(ModuleFile, ExportsEveryFunctionAndGlobal) {
  std::vector<const char*> names(std::begin(kExports), std::end(kExports));
  if (ourModuleUnderTest()) names.insert(names.end(), std::begin(kApplicationExports), std::end(kApplicationExports));
  for (const char* name : names) {
    const sim::ElfSymbol* sym = elf_.dynamicSymbol(name);
    ASSERT_NE(sym, nullptr) << name;
    EXPECT_TRUE(sym->defined) << name;
    EXPECT_EQ(sym->binding, STB_GLOBAL) << name;
  }
}

TEST_F(ModuleFile, ImportsOnlyWhatThePlatformOffers) {
  std::set<std::string> allowed = allowList(LIBC_ALLOW);
  for (const std::string& name : allowList(LIBDL_ALLOW)) allowed.insert(name);
  for (const sim::ElfSymbol& sym : elf_.dynamicSymbols()) {
    if (sym.defined || sym.name.empty() || sym.binding == STB_WEAK) continue;
    if (sym.name.compare(0, 4, "TAP_") == 0) continue;  // the firmware API
    if (kSanitized && isSanitizerName(sym.name)) continue;
    EXPECT_TRUE(allowed.count(sym.name)) << "imports " << sym.name;
  }
}

TEST_F(ModuleFile, CarriesNoCxxRuntime) {
  for (const sim::ElfSymbol& sym : elf_.dynamicSymbols()) {
    EXPECT_NE(sym.name.compare(0, 2, "_Z"), 0) << "C++ name " << sym.name;
    EXPECT_NE(sym.name.compare(0, 6, "__cxa_"), 0) << sym.name;
    EXPECT_NE(sym.name, "__gxx_personality_v0");
    if (sym.type == STT_GNU_IFUNC || sym.binding == STB_GNU_UNIQUE) ADD_FAILURE() << "unique symbol " << sym.name;
  }
}

// --- What the device's own loader needs --------------------------------------
// Its loader is older than the GNU extensions, so these hold for the device
// build only. That the code is MIPS32 release 1 is checked after every link
// of a device module (scripts/mips32-check; release1_check.sh tests it).

class DeviceModuleFile : public ModuleFile {
 protected:
  void SetUp() override {
    if (std::string(STEADYFLOW_BUILD) != "device") GTEST_SKIP() << "facts of the device build";
    ModuleFile::SetUp();
  }
};

TEST_F(DeviceModuleFile, DynamicSectionHoldsNoGnuExtension) {
  EXPECT_TRUE(elf_.dynamicValue(DT_HASH)) << "DT_HASH, the table the loader looks symbols up in";
  const std::pair<int64_t, const char*> absent[] = {
      {DT_GNU_HASH, "DT_GNU_HASH"}, {DT_MIPS_XHASH, "DT_MIPS_XHASH"}, {DT_VERNEED, "DT_VERNEED"},
      {DT_TEXTREL, "DT_TEXTREL"}};
  for (const auto& [tag, name] : absent) EXPECT_FALSE(elf_.dynamicValue(tag)) << name;
  EXPECT_EQ(elf_.dynamicValue(DT_FLAGS).value_or(0) & DF_TEXTREL, 0u) << "DF_TEXTREL";
}

TEST_F(DeviceModuleFile, RelocationsAreRel32Only) {
  for (const sim::ElfRelocation& r : elf_.dynamicRelocations())
    EXPECT_TRUE(r.type == R_MIPS_REL32 || r.type == R_MIPS_NONE)
        << "relocation type " << r.type << " at 0x" << std::hex << r.offset;
}

TEST_F(DeviceModuleFile, UsesTheLegacyFloatingPointModel) {
  EXPECT_EQ(elf_.flags() & EF_MIPS_NAN2008, 0u) << "EF_MIPS_NAN2008";
  EXPECT_EQ(elf_.flags() & EF_MIPS_FP64, 0u) << "EF_MIPS_FP64";
}

TEST_F(DeviceModuleFile, ImportsAreExportedByTheDevicesLibraries) {
#if defined(UCLIBC_LIBC) && defined(UCLIBC_LIBDL)
  std::set<std::string> exported;
  for (const char* path : {UCLIBC_LIBC, UCLIBC_LIBDL}) {
    std::string error;
    auto library = sim::ElfFile::read(path, error);
    ASSERT_TRUE(library) << error;
    for (const sim::ElfSymbol& sym : library->dynamicSymbols())
      if (sym.defined && sym.binding != STB_LOCAL) exported.insert(sym.name);
  }
  for (const sim::ElfSymbol& sym : elf_.dynamicSymbols()) {
    if (sym.defined || sym.name.empty() || sym.name.compare(0, 4, "TAP_") == 0) continue;  // TAP_: the firmware
    EXPECT_TRUE(exported.count(sym.name)) << sym.name << " is exported by neither " UCLIBC_LIBC " nor " UCLIBC_LIBDL;
  }
#else
  GTEST_SKIP() << "no device libraries to check against: UCLIBC_LIBC and UCLIBC_LIBDL are not defined";
#endif
}

}  // namespace
