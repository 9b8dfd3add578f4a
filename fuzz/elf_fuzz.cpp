// Fuzzes the simulator's ELF reader on arbitrary bytes: each input is either
// refused with one line or read into lists that stay within the input.
#include <elf.h>
#include <stdio.h>
#include <stdlib.h>

#include "elf_file.h"

namespace {

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "fuzz_elf: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto elf = sim::ElfFile::parse(std::string(reinterpret_cast<const char*>(data), size), error);
  if (!elf) {
    if (error.empty() || error.find('\n') != std::string::npos) fail("refused without one line saying why");
    return 0;
  }
  uint64_t names = 0;
  for (const sim::ElfSection& s : elf->sections()) {
    if (s.type != SHT_NOBITS && elf->contents(s).size() != s.size) fail("a section's bytes are not all in the file");
    if (elf->section(s.name) == nullptr) fail("a section is not found by its name");
    names += s.name.size();
  }
  for (const sim::ElfSymbol& sym : elf->dynamicSymbols()) names += sym.name.size();
  for (const std::string& library : elf->needed()) names += library.size();
  if (names > size) fail("the names outgrow the input");
  if (elf->dynamicSymbols().size() * sizeof(Elf32_Sym) > size) fail("more symbols than the input holds");
  if (elf->dynamicRelocations().size() * sizeof(Elf32_Rel) > size) fail("more relocations than the input holds");
  elf->dynamicValue(DT_HASH);
  return 0;
}
