#include "elf_file.h"

#include <elf.h>
#include <string.h>

#include <fstream>
#include <sstream>

namespace sim {
namespace {

template <class T>
bool at(const std::string& data, uint64_t offset, T& out) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
  memcpy(&out, data.data() + offset, sizeof(T));
  return true;
}

std::string stringAt(const std::string& data, uint64_t tableOffset, uint64_t tableSize, uint64_t index) {
  if (index >= tableSize || tableOffset + tableSize > data.size()) return {};
  const char* start = data.data() + tableOffset + index;
  return std::string(start, strnlen(start, tableSize - index));
}

}  // namespace

std::optional<ElfFile> ElfFile::read(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return std::nullopt;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  ElfFile file;
  file.data_ = buffer.str();
  const std::string& d = file.data_;
  if (d.size() < EI_NIDENT || memcmp(d.data(), ELFMAG, SELFMAG) != 0) {
    error = path + " is not an ELF file";
    return std::nullopt;
  }
  if (d[EI_DATA] != ELFDATA2LSB) {
    error = path + " is not a little-endian ELF file";
    return std::nullopt;
  }
  file.class32_ = d[EI_CLASS] == ELFCLASS32;
  const bool ok = file.class32_ ? file.parse<Elf32_Ehdr, Elf32_Shdr, Elf32_Dyn, Elf32_Sym>(error)
                                : file.parse<Elf64_Ehdr, Elf64_Shdr, Elf64_Dyn, Elf64_Sym>(error);
  if (!ok) {
    error = path + ": " + error;
    return std::nullopt;
  }
  return file;
}

template <class Ehdr, class Shdr, class Dyn, class Sym>
bool ElfFile::parse(std::string& error) {
  Ehdr eh;
  if (!at(data_, 0, eh)) {
    error = "truncated ELF header";
    return false;
  }
  machine_ = eh.e_machine;
  type_ = eh.e_type;
  flags_ = eh.e_flags;
  std::vector<Shdr> raw(eh.e_shnum);
  for (size_t i = 0; i < raw.size(); ++i) {
    if (!at(data_, eh.e_shoff + i * sizeof(Shdr), raw[i])) {
      error = "truncated section headers";
      return false;
    }
  }
  const Shdr* names = eh.e_shstrndx < raw.size() ? &raw[eh.e_shstrndx] : nullptr;
  for (const Shdr& s : raw) {
    ElfSection sec;
    if (names) sec.name = stringAt(data_, names->sh_offset, names->sh_size, s.sh_name);
    sec.address = s.sh_addr;
    sec.offset = s.sh_offset;
    sec.size = s.sh_size;
    sec.type = s.sh_type;
    sec.flags = s.sh_flags;
    sections_.push_back(sec);
  }
  for (size_t i = 0; i < raw.size(); ++i) {
    const Shdr& s = raw[i];
    if (s.sh_type != SHT_DYNAMIC && s.sh_type != SHT_DYNSYM) continue;
    if (s.sh_link >= raw.size()) continue;
    const Shdr& strtab = raw[s.sh_link];
    if (s.sh_type == SHT_DYNAMIC) {
      for (uint64_t off = 0; off + sizeof(Dyn) <= s.sh_size; off += sizeof(Dyn)) {
        Dyn dyn;
        if (!at(data_, s.sh_offset + off, dyn) || dyn.d_tag == DT_NULL) break;
        dynamic_.push_back({static_cast<int64_t>(dyn.d_tag), static_cast<uint64_t>(dyn.d_un.d_val)});
        if (dyn.d_tag == DT_NEEDED) needed_.push_back(stringAt(data_, strtab.sh_offset, strtab.sh_size, dyn.d_un.d_val));
      }
    } else {
      for (uint64_t off = sizeof(Sym); off + sizeof(Sym) <= s.sh_size; off += sizeof(Sym)) {
        Sym sym;
        if (!at(data_, s.sh_offset + off, sym)) break;
        ElfSymbol out;
        out.name = stringAt(data_, strtab.sh_offset, strtab.sh_size, sym.st_name);
        out.value = sym.st_value;
        out.size = sym.st_size;
        out.type = sym.st_info & 0xF;
        out.binding = sym.st_info >> 4;
        out.defined = sym.st_shndx != SHN_UNDEF;
        symbols_.push_back(out);
      }
    }
  }
  return true;
}

const ElfSection* ElfFile::section(const std::string& name) const {
  for (const ElfSection& s : sections_)
    if (s.name == name) return &s;
  return nullptr;
}

std::string ElfFile::contents(const ElfSection& section) const {
  if (section.type == SHT_NOBITS || section.offset > data_.size() || data_.size() - section.offset < section.size)
    return {};
  return data_.substr(section.offset, section.size);
}

std::optional<uint64_t> ElfFile::dynamicValue(int64_t tag) const {
  for (const auto& [t, v] : dynamic_)
    if (t == tag) return v;
  return std::nullopt;
}

const ElfSymbol* ElfFile::dynamicSymbol(const std::string& name) const {
  for (const ElfSymbol& s : symbols_)
    if (s.name == name) return &s;
  return nullptr;
}

}  // namespace sim
