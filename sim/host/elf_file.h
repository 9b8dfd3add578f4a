// Reads what the simulated loader and the tests need from an ELF file:
// sections, dynamic entries, dynamic symbols and dynamic relocations, for 32-
// and 64-bit little-endian objects.
//
// Any input is safe to read: every offset, size and index is checked against
// the bytes before use, and a file that does not hold together is refused
// with one line, never read past its end or half-read.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace sim {

struct ElfSection {
  std::string name;
  uint64_t address = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t type = 0;
  uint64_t flags = 0;
};

struct ElfSymbol {
  std::string name;
  uint64_t value = 0;
  uint64_t size = 0;
  uint8_t type = 0;     // STT_*
  uint8_t binding = 0;  // STB_*
  bool defined = false;
};

// One entry of a relocation section the dynamic linker applies (REL or RELA,
// allocated).
struct ElfRelocation {
  uint64_t offset = 0;
  uint32_t type = 0;    // R_<machine>_*
  uint32_t symbol = 0;  // index in the dynamic symbol table; 0 for none
};

class ElfFile {
 public:
  // A module is small; anything larger is refused before it is read.
  static constexpr uint64_t kMaxFileSize = 64 << 20;

  // Reads the file PATH names (a link is followed; a FIFO, device or folder
  // is refused without blocking). On failure answers nothing and sets ERROR
  // to one line naming PATH: "PATH is not an ELF file".
  static std::optional<ElfFile> read(const std::string& path, std::string& error);
  // The same for BYTES held in memory; ERROR then says what is wrong without
  // a subject: "is not an ELF file".
  static std::optional<ElfFile> parse(std::string bytes, std::string& error);

  bool is32Bit() const { return class32_; }
  uint16_t machine() const { return machine_; }
  uint16_t type() const { return type_; }
  uint32_t flags() const { return flags_; }
  const std::vector<ElfSection>& sections() const { return sections_; }
  const ElfSection* section(const std::string& name) const;
  // The bytes of a section as they stand in the file (none for NOBITS).
  std::string contents(const ElfSection& section) const;
  const std::vector<std::string>& needed() const { return needed_; }
  std::optional<uint64_t> dynamicValue(int64_t tag) const;
  // The dynamic symbol table without its leading null entry: symbol index I
  // of a relocation is dynamicSymbols()[I - 1].
  const std::vector<ElfSymbol>& dynamicSymbols() const { return symbols_; }
  const ElfSymbol* dynamicSymbol(const std::string& name) const;
  const std::vector<ElfRelocation>& dynamicRelocations() const { return relocations_; }

 private:
  template <class Elf>
  friend class ElfReader;

  std::string data_;
  bool class32_ = false;
  uint16_t machine_ = 0, type_ = 0;
  uint32_t flags_ = 0;
  std::vector<ElfSection> sections_;
  std::vector<std::string> needed_;
  std::vector<std::pair<int64_t, uint64_t>> dynamic_;
  std::vector<ElfSymbol> symbols_;
  std::vector<ElfRelocation> relocations_;
};

}  // namespace sim
