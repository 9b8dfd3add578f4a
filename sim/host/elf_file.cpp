#include "elf_file.h"

#include <elf.h>
#include <string.h>

#include "file.h"

namespace sim {
namespace {

struct Elf32 {
  using Ehdr = Elf32_Ehdr;
  using Shdr = Elf32_Shdr;
  using Dyn = Elf32_Dyn;
  using Sym = Elf32_Sym;
  using Rel = Elf32_Rel;
  using Rela = Elf32_Rela;
  static uint32_t relocationType(uint64_t info) { return info & 0xFF; }
  static uint32_t relocationSymbol(uint64_t info) { return static_cast<uint32_t>(info >> 8); }
};

struct Elf64 {
  using Ehdr = Elf64_Ehdr;
  using Shdr = Elf64_Shdr;
  using Dyn = Elf64_Dyn;
  using Sym = Elf64_Sym;
  using Rel = Elf64_Rel;
  using Rela = Elf64_Rela;
  static uint32_t relocationType(uint64_t info) { return info & 0xFFFFFFFF; }
  static uint32_t relocationSymbol(uint64_t info) { return static_cast<uint32_t>(info >> 32); }
};

// Whether LENGTH bytes from OFFSET lie within DATA; written so that no sum
// can wrap.
bool within(const std::string& data, uint64_t offset, uint64_t length) {
  return offset <= data.size() && length <= data.size() - offset;
}

std::string number(uint64_t value) { return std::to_string(value); }

}  // namespace

// Fills an ElfFile from its bytes. Every step answers false with the error
// set to what is wrong, said of the file ("has ...").
template <class Elf>
class ElfReader {
  using Shdr = typename Elf::Shdr;

 public:
  ElfReader(ElfFile& file, std::string& error) : f_(file), error_(error), budget_(file.data_.size()) {}

  bool read() {
    if (f_.data_.size() < sizeof(typename Elf::Ehdr)) return fail("is truncated within its ELF header");
    typename Elf::Ehdr eh;
    memcpy(&eh, f_.data_.data(), sizeof eh);
    f_.machine_ = eh.e_machine;
    f_.type_ = eh.e_type;
    f_.flags_ = eh.e_flags;
    // No section headers (or more than 65535, which no module has): nothing more to read.
    if (eh.e_shnum == 0) return true;
    if (eh.e_shentsize != sizeof(Shdr))
      return fail("has section headers of " + number(eh.e_shentsize) + " bytes, not " + number(sizeof(Shdr)));
    if (!within(f_.data_, eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Shdr)))
      return fail("has its section header table past the end of the file");
    std::vector<Shdr> raw(eh.e_shnum);
    memcpy(raw.data(), f_.data_.data() + eh.e_shoff, raw.size() * sizeof(Shdr));
    if (!sections(raw, eh.e_shstrndx)) return false;
    for (size_t i = 0; i < raw.size(); ++i)
      if (!tableOf(i, raw[i])) return false;
    return true;
  }

 private:
  bool fail(std::string what) {
    error_ = std::move(what);
    return false;
  }

  // Everything kept is charged against the file's size: a file's tables and
  // names never add up to more than the file, so one that names the same
  // bytes over and over is refused instead of multiplying memory.
  bool charge(uint64_t bytes) {
    if (bytes > budget_) return fail("refers to the same bytes over and over (its tables outgrow the file)");
    budget_ -= bytes;
    return true;
  }

  // Each section, checked to lie in the file unless it has no bytes there.
  bool sections(const std::vector<Shdr>& raw, uint64_t namesIndex) {
    for (size_t i = 0; i < raw.size(); ++i) {
      const Shdr& s = raw[i];
      if (s.sh_type != SHT_NOBITS && !within(f_.data_, s.sh_offset, s.sh_size))
        return fail("has section " + number(i) + " past the end of the file");
      f_.sections_.push_back({{}, s.sh_addr, s.sh_offset, s.sh_size, s.sh_type, s.sh_flags});
    }
    if (namesIndex == SHN_UNDEF) return true;
    if (namesIndex >= raw.size())
      return fail("names section " + number(namesIndex) + " as its section names, of " + number(raw.size()));
    for (size_t i = 0; i < raw.size(); ++i)
      if (!name(namesIndex, raw[i].sh_name, f_.sections_[i].name)) return false;
    return true;
  }

  // The NUL-terminated string at INDEX of string table TABLE, cut at the
  // table's end.
  bool name(size_t table, uint64_t index, std::string& out) {
    const ElfSection& t = f_.sections_[table];
    const uint64_t size = t.type == SHT_NOBITS ? 0 : t.size;
    if (index >= size) return fail("has a name at " + number(index) + " outside section " + number(table));
    const char* start = f_.data_.data() + t.offset + index;
    const size_t length = strnlen(start, size - index);
    if (!charge(length)) return false;
    out.assign(start, length);
    return true;
  }

  // The section S (number I) links to, or false when there is none.
  bool linked(size_t i, const Shdr& s, size_t& out) {
    if (s.sh_link >= f_.sections_.size())
      return fail("has section " + number(i) + " linking to section " + number(s.sh_link) + ", of " +
                  number(f_.sections_.size()));
    out = s.sh_link;
    return true;
  }

  // The entries of table section S (number I) as T.
  template <class T>
  bool table(size_t i, const Shdr& s, std::vector<T>& out) {
    if (s.sh_entsize != sizeof(T))
      return fail("has section " + number(i) + " with entries of " + number(s.sh_entsize) + " bytes, not " +
                  number(sizeof(T)));
    if (!charge(s.sh_size)) return false;
    out.resize(s.sh_size / sizeof(T));
    if (!out.empty()) memcpy(out.data(), f_.data_.data() + s.sh_offset, out.size() * sizeof(T));
    return true;
  }

  // What section S (number I) holds, if it is a table the lists keep.
  bool tableOf(size_t i, const Shdr& s) {
    // Relocation sections that are not loaded are the static linker's.
    const bool loaded = s.sh_flags & SHF_ALLOC;
    switch (s.sh_type) {
      case SHT_DYNAMIC: return dynamic(i, s);
      case SHT_DYNSYM: return symbols(i, s);
      case SHT_REL: return !loaded || relocations<typename Elf::Rel>(i, s);
      case SHT_RELA: return !loaded || relocations<typename Elf::Rela>(i, s);
      default: return true;
    }
  }

  bool dynamic(size_t i, const Shdr& s) {
    std::vector<typename Elf::Dyn> entries;
    size_t strings;
    if (!linked(i, s, strings) || !table(i, s, entries)) return false;
    for (const auto& dyn : entries) {
      if (dyn.d_tag == DT_NULL) break;
      f_.dynamic_.push_back({static_cast<int64_t>(dyn.d_tag), static_cast<uint64_t>(dyn.d_un.d_val)});
      if (dyn.d_tag != DT_NEEDED) continue;
      std::string library;
      if (!name(strings, dyn.d_un.d_val, library)) return false;
      f_.needed_.push_back(library);
    }
    return true;
  }

  bool symbols(size_t i, const Shdr& s) {
    std::vector<typename Elf::Sym> entries;
    size_t strings;
    if (!linked(i, s, strings) || !table(i, s, entries)) return false;
    for (size_t k = 1; k < entries.size(); ++k) {  // entry 0 is the null symbol
      const auto& sym = entries[k];
      ElfSymbol out;
      if (!name(strings, sym.st_name, out.name)) return false;
      out.value = sym.st_value;
      out.size = sym.st_size;
      out.type = sym.st_info & 0xF;
      out.binding = sym.st_info >> 4;
      out.defined = sym.st_shndx != SHN_UNDEF;
      f_.symbols_.push_back(out);
    }
    return true;
  }

  template <class R>
  bool relocations(size_t i, const Shdr& s) {
    std::vector<R> entries;
    if (!table(i, s, entries)) return false;
    for (const R& r : entries)
      f_.relocations_.push_back({r.r_offset, Elf::relocationType(r.r_info), Elf::relocationSymbol(r.r_info)});
    return true;
  }

  ElfFile& f_;
  std::string& error_;
  uint64_t budget_;
};

std::optional<ElfFile> ElfFile::read(const std::string& path, std::string& error) {
  std::optional<std::string> bytes = readFile(path, error, kMaxFileSize);
  if (!bytes) return std::nullopt;
  auto file = parse(std::move(*bytes), error);
  if (!file) error = path + " " + error;
  return file;
}

std::optional<ElfFile> ElfFile::parse(std::string bytes, std::string& error) {
  ElfFile file;
  file.data_ = std::move(bytes);
  const std::string& d = file.data_;
  if (d.size() < EI_NIDENT || memcmp(d.data(), ELFMAG, SELFMAG) != 0) {
    error = "is not an ELF file";
    return std::nullopt;
  }
  if (d[EI_DATA] != ELFDATA2LSB) {
    error = "is not a little-endian ELF file";
    return std::nullopt;
  }
  file.class32_ = d[EI_CLASS] == ELFCLASS32;
  bool ok = false;
  if (d[EI_CLASS] == ELFCLASS32)
    ok = ElfReader<Elf32>(file, error).read();
  else if (d[EI_CLASS] == ELFCLASS64)
    ok = ElfReader<Elf64>(file, error).read();
  else
    error = "is of unknown ELF class " + number(static_cast<uint8_t>(d[EI_CLASS]));
  if (!ok) return std::nullopt;
  return file;
}

const ElfSection* ElfFile::section(const std::string& name) const {
  for (const ElfSection& s : sections_)
    if (s.name == name) return &s;
  return nullptr;
}

std::string ElfFile::contents(const ElfSection& section) const {
  if (section.type == SHT_NOBITS || !within(data_, section.offset, section.size)) return {};
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
