// Reads what the simulated loader and the tests need from an ELF file:
// sections, dynamic entries and dynamic symbols, for 32- and 64-bit
// little-endian objects.
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

class ElfFile {
 public:
  // Parses PATH; on failure answers nothing and sets ERROR to one line.
  static std::optional<ElfFile> read(const std::string& path, std::string& error);

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
  const std::vector<ElfSymbol>& dynamicSymbols() const { return symbols_; }
  const ElfSymbol* dynamicSymbol(const std::string& name) const;

 private:
  template <class Ehdr, class Shdr, class Dyn, class Sym>
  bool parse(std::string& error);

  std::string data_;
  bool class32_ = false;
  uint16_t machine_ = 0, type_ = 0;
  uint32_t flags_ = 0;
  std::vector<ElfSection> sections_;
  std::vector<std::string> needed_;
  std::vector<std::pair<int64_t, uint64_t>> dynamic_;
  std::vector<ElfSymbol> symbols_;
};

}  // namespace sim
