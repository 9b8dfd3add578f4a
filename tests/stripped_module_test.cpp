// The stripped module that goes onto the device: everything the firmware's
// loader reads (identity header, dynamic symbols, code and data) stands as in
// the module as built, and only the symbol table and debug info are gone.
#include <elf.h>
#include <gtest/gtest.h>

#include <string>

#include "elf_file.h"

namespace {

sim::ElfFile readModule(const char* path) {
  std::string error;
  auto file = sim::ElfFile::read(path, error);
  if (!file) ADD_FAILURE() << path << ": " << error;
  return file ? std::move(*file) : sim::ElfFile();
}

TEST(StrippedModule, KeepsEveryLoadedSectionAndDynamicSymbol) {
  const sim::ElfFile built = readModule(MODULE_PATH);
  const sim::ElfFile stripped = readModule(STRIPPED_MODULE_PATH);
  int loaded = 0;
  for (const sim::ElfSection& s : built.sections()) {
    if (!(s.flags & SHF_ALLOC)) continue;
    ++loaded;
    const sim::ElfSection* kept = stripped.section(s.name);
    ASSERT_NE(kept, nullptr) << s.name;
    EXPECT_EQ(kept->address, s.address) << s.name;
    EXPECT_EQ(stripped.contents(*kept), built.contents(s)) << s.name;
  }
  EXPECT_GT(loaded, 0);
  ASSERT_EQ(stripped.dynamicSymbols().size(), built.dynamicSymbols().size());
  for (const sim::ElfSymbol& sym : built.dynamicSymbols()) {
    const sim::ElfSymbol* kept = stripped.dynamicSymbol(sym.name);
    ASSERT_NE(kept, nullptr) << sym.name;
    EXPECT_EQ(kept->value, sym.value) << sym.name;
    EXPECT_EQ(kept->size, sym.size) << sym.name;
  }
}

TEST(StrippedModule, CarriesNoSymbolTableOrDebugInfo) {
  const sim::ElfFile stripped = readModule(STRIPPED_MODULE_PATH);
  for (const sim::ElfSection& s : stripped.sections()) {
    EXPECT_NE(s.type, static_cast<uint32_t>(SHT_SYMTAB)) << s.name;
    EXPECT_NE(s.name.compare(0, 7, ".debug_"), 0) << s.name;
  }
}

}  // namespace
