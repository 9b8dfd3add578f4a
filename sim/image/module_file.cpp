#include "module_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libdl_names.h"
#include "tapheader.h"

namespace tapload {
namespace {

constexpr uint32_t kMaxSections = 1024;
constexpr uint32_t kMaxProgramHeaders = 64;
// More than any table of a module or of the image's libc holds.
constexpr uint32_t kMaxSectionBytes = 4u << 20;
constexpr uint32_t kMaxNeeded = 8;

bool readAt(int fd, void* buffer, uint64_t size, uint64_t offset) {
  return pread(fd, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Whether SIZE bytes at OFFSET lie within a file of LENGTH bytes.
bool within(uint64_t offset, uint64_t size, uint64_t length) { return offset <= length && size <= length - offset; }

// An ELF file's header and section table, read bounded. Large: kept static.
struct ElfFile {
  const char* path;
  int fd;
  uint64_t length;
  Elf32_Ehdr header;
  uint32_t count;
  Elf32_Shdr sections[kMaxSections];
};

void closeElf(ElfFile& file) {
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
}

// Opens PATH as a 32-bit little-endian MIPS shared object and reads its
// section table; false, and nothing open, when it is no such file.
bool openElf(const char* path, ElfFile& file) {
  file.path = path;
  file.fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (file.fd < 0) return false;
  Elf32_Ehdr& eh = file.header;
  file.count = 0;
  if (fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode)) {
    file.length = static_cast<uint64_t>(st.st_size);
    if (readAt(file.fd, &eh, sizeof eh, 0) && memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
        eh.e_ident[EI_CLASS] == ELFCLASS32 && eh.e_ident[EI_DATA] == ELFDATA2LSB && eh.e_type == ET_DYN &&
        eh.e_machine == EM_MIPS)
      return true;
  }
  closeElf(file);
  return false;
}

// Reads the section table of an open file; false when it is unreadable.
bool readSections(ElfFile& file) {
  const Elf32_Ehdr& eh = file.header;
  file.count = eh.e_shnum;
  const uint64_t size = uint64_t{file.count} * sizeof(Elf32_Shdr);
  return eh.e_shentsize == sizeof(Elf32_Shdr) && file.count > 0 && file.count <= kMaxSections &&
         eh.e_shstrndx < file.count && within(eh.e_shoff, size, file.length) &&
         readAt(file.fd, file.sections, size, eh.e_shoff);
}

// A section's bytes in a new block the caller frees; null when it holds none
// in the file or more than the limit.
void* readSection(const ElfFile& file, const Elf32_Shdr& s) {
  if (s.sh_type == SHT_NOBITS || s.sh_size == 0 || s.sh_size > kMaxSectionBytes ||
      !within(s.sh_offset, s.sh_size, file.length))
    return nullptr;
  void* bytes = malloc(s.sh_size);
  if (bytes != nullptr && !readAt(file.fd, bytes, s.sh_size, s.sh_offset)) {
    free(bytes);
    return nullptr;
  }
  return bytes;
}

// The string table in section INDEX, which must end in a zero byte; null
// when it is none.
char* readStrings(const ElfFile& file, uint32_t index, uint32_t& size) {
  if (index >= file.count || file.sections[index].sh_type != SHT_STRTAB) return nullptr;
  const Elf32_Shdr& s = file.sections[index];
  char* strings = static_cast<char*>(readSection(file, s));
  if (strings != nullptr && strings[s.sh_size - 1] != '\0') {
    free(strings);
    return nullptr;
  }
  size = s.sh_size;
  return strings;
}

const Elf32_Shdr* sectionOfType(const ElfFile& file, uint32_t type) {
  for (uint32_t i = 0; i < file.count; ++i)
    if (file.sections[i].sh_type == type) return &file.sections[i];
  return nullptr;
}

// A table of ENTRY-byte entries in section S; null unless it is one.
void* readTable(const ElfFile& file, const Elf32_Shdr* s, uint32_t entry, uint32_t& count) {
  if (s == nullptr || s->sh_entsize != entry || s->sh_size % entry != 0) return nullptr;
  count = s->sh_size / entry;
  return readSection(file, *s);
}

void freeSymbols(Symbols& symbols) {
  free(const_cast<Elf32_Sym*>(symbols.table));
  free(const_cast<char*>(symbols.strings));
  symbols = Symbols();
}

// The file's dynamic symbols, every name inside its string table; false
// when they are missing or unreadable.
bool readSymbols(const ElfFile& file, Symbols& out) {
  const Elf32_Shdr* s = sectionOfType(file, SHT_DYNSYM);
  uint32_t count = 0, size = 0;
  Elf32_Sym* table = static_cast<Elf32_Sym*>(readTable(file, s, sizeof(Elf32_Sym), count));
  char* strings = table != nullptr ? readStrings(file, s->sh_link, size) : nullptr;
  out = {table, count, strings, size};
  bool ok = strings != nullptr;
  for (uint32_t i = 0; ok && i < count; ++i) ok = table[i].st_name < size;
  if (!ok) freeSymbols(out);
  return ok;
}

// --- the identity header -----------------------------------------------------

// The identity header as the firmware checks it before it maps a module:
// the seven header sections there with their sizes, the last holding the
// magic and the value.
void checkHeader(const ElfFile& file) {
  const Elf32_Shdr& table = file.sections[file.header.e_shstrndx];
  static char names[1 << 16];
  if (table.sh_size == 0 || table.sh_size > sizeof names || !within(table.sh_offset, table.sh_size, file.length) ||
      !readAt(file.fd, names, table.sh_size, table.sh_offset))
    fail("unreadable section names in ", file.path);
  names[table.sh_size - 1] = '\0';
  auto named = [&](const char* name) -> const Elf32_Shdr* {
    for (uint32_t i = 0; i < file.count; ++i) {
      const Elf32_Shdr& s = file.sections[i];
      if (s.sh_name < table.sh_size && strcmp(names + s.sh_name, name) == 0) return &s;
    }
    return nullptr;
  };
  for (const TapHeaderSection& wanted : kTapHeaderSections) {
    const Elf32_Shdr* s = named(wanted.name);
    if (s == nullptr || s->sh_size != wanted.size || !within(s->sh_offset, s->sh_size, file.length))
      fail("no module header: missing or wrong section ", wanted.name);
  }
  TapModuleHeader header;
  if (!readAt(file.fd, &header, sizeof header, named(TAP_SECTION_HEADER)->sh_offset))
    fail("unreadable module header in ", file.path);
  static char refusal[TAP_HEADER_REFUSAL_SIZE], detail[sizeof refusal + 2];
  if (tapHeaderRefused(header, refusal)) {
    snprintf(detail, sizeof detail, ": %s", refusal);
    fail(file.path, detail);
  }
}

// --- what the device's loader cannot be trusted with ---------------------------

void checkNoTls(const ElfFile& file, const Symbols& symbols) {
  const Elf32_Ehdr& eh = file.header;
  static Elf32_Phdr headers[kMaxProgramHeaders];
  const uint64_t size = uint64_t{eh.e_phnum} * sizeof(Elf32_Phdr);
  if (eh.e_phentsize != sizeof(Elf32_Phdr) || eh.e_phnum > kMaxProgramHeaders ||
      !within(eh.e_phoff, size, file.length) || !readAt(file.fd, headers, size, eh.e_phoff))
    fail("unreadable program headers in ", file.path);
  for (uint32_t i = 0; i < eh.e_phnum; ++i)
    if (headers[i].p_type == PT_TLS)
      fail("the module has thread-local storage (PT_TLS), which the device's loader cannot be assumed to set up", "");
  for (uint32_t i = 0; i < symbols.count; ++i)
    if (ELF32_ST_TYPE(symbols.table[i].st_info) == STT_TLS)
      fail("the module uses the thread-local variable ", symbols.name(symbols.table[i]));
}

// The dynamic section's needs (names in NEEDED, kept in STRINGS) and the
// global offset table's layout; refuses text relocations.
void readDynamic(const ElfFile& file, ModuleFile& module, const char* (&needed)[kMaxNeeded], uint32_t& neededCount,
                 char*& strings) {
  const Elf32_Shdr* s = sectionOfType(file, SHT_DYNAMIC);
  uint32_t count = 0, size = 0;
  Elf32_Dyn* dynamic = static_cast<Elf32_Dyn*>(readTable(file, s, sizeof(Elf32_Dyn), count));
  strings = dynamic != nullptr ? readStrings(file, s->sh_link, size) : nullptr;
  if (strings == nullptr) fail("unreadable dynamic section in ", file.path);
  neededCount = 0;
  for (uint32_t i = 0; i < count && dynamic[i].d_tag != DT_NULL; ++i) {
    const Elf32_Dyn& d = dynamic[i];
    const uint32_t value = d.d_un.d_val;
    if (d.d_tag == DT_TEXTREL || (d.d_tag == DT_FLAGS && (value & DF_TEXTREL) != 0))
      fail("the module has text relocations (DT_TEXTREL), which the device's loader cannot be assumed to apply", "");
    if (d.d_tag == DT_NEEDED) {
      if (value >= size) fail("a needed library's name lies outside the string table in ", file.path);
      if (neededCount == kMaxNeeded) fail("the module needs more than 8 libraries", "");
      needed[neededCount++] = strings + value;
    }
    if (d.d_tag == DT_PLTGOT) module.gotAddress = value;
    if (d.d_tag == DT_MIPS_LOCAL_GOTNO) module.localGotCount = value;
    if (d.d_tag == DT_MIPS_GOTSYM) module.firstGotSymbol = value;
  }
  free(dynamic);
  if (module.firstGotSymbol > module.symbols.count) fail("a global offset table past the symbols in ", file.path);
}

// --- the needed libraries ------------------------------------------------------

bool sameFile(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool isLibdlName(const char* name) {
  for (const char* n : kLibdlNames)
    if (strcmp(n, name) == 0) return true;
  return false;
}

// Opens the library the loader finds for NAME in the image: an absolute
// path as it is, another name in /lib, then /usr/lib (the image has no
// loader cache and the run no library path).
bool openLibrary(const char* name, ElfFile& file) {
  static char paths[2][512];
  const bool absolute = name[0] == '/';
  for (int i = 0; i < (absolute ? 1 : 2); ++i) {
    snprintf(paths[i], sizeof paths[i], "%s%s", absolute ? "" : i == 0 ? "/lib/" : "/usr/lib/", name);
    if (openElf(paths[i], file) && readSections(file)) return true;
    closeElf(file);
  }
  return false;
}

// Whether the library's symbol S is one it exports.
bool exported(const Elf32_Sym& s) {
  const unsigned bind = ELF32_ST_BIND(s.st_info), type = ELF32_ST_TYPE(s.st_info);
  return s.st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK) && type != STT_SECTION && type != STT_FILE;
}

// Marks in FOUND each import of the module that the library NAME exports.
void markExports(const char* name, const Symbols& module, bool* found) {
  static ElfFile file;
  if (!openLibrary(name, file)) fail("the module needs a library the image does not hold: ", name);
  Symbols library;
  if (!readSymbols(file, library)) fail("unreadable dynamic symbols in ", file.path);
  // The device's libdl.so.0 is a library of its own: apart here too.
  const bool merged = sameFile("/lib/libdl.so.0", "/lib/libc.so.0");
  const bool libdl = strcmp(name, "libdl.so.0") == 0, libc = strcmp(name, "libc.so.0") == 0;
  for (uint32_t i = 0; i < module.count; ++i) {
    if (found[i] || !isImport(module.table[i])) continue;
    const char* import = module.name(module.table[i]);
    const uint32_t at = library.find(import);
    if (at == 0 || !exported(library.table[at])) continue;
    if (merged && ((libdl && !isLibdlName(import)) || (libc && isLibdlName(import)))) continue;
    found[i] = true;
  }
  freeSymbols(library);
  closeElf(file);
}

void checkImports(const Symbols& symbols, const char* const* needed, uint32_t neededCount) {
  bool* found = static_cast<bool*>(calloc(symbols.count, sizeof(bool)));
  if (found == nullptr) fail("out of memory", "");
  for (uint32_t n = 0; n < neededCount; ++n) markExports(needed[n], symbols, found);
  for (uint32_t i = 0; i < symbols.count; ++i) {
    if (found[i] || !isImport(symbols.table[i])) continue;
    static char line[1024];
    int used =
        snprintf(line, sizeof line, "%s, which none of its needed libraries exports (", symbols.name(symbols.table[i]));
    for (uint32_t n = 0; n < neededCount && used > 0 && static_cast<size_t>(used) < sizeof line; ++n)
      used += snprintf(line + used, sizeof line - used, "%s%s", n ? ", " : "", needed[n]);
    if (used > 0 && static_cast<size_t>(used) < sizeof line) snprintf(line + used, sizeof line - used, ")");
    fail("the module imports ", line);
  }
  free(found);
}

}  // namespace

uint32_t Symbols::find(const char* wanted) const {
  for (uint32_t i = 1; i < count; ++i)
    if (strcmp(strings + table[i].st_name, wanted) == 0) return i;
  return 0;
}

bool isImport(const Elf32_Sym& symbol) {
  return symbol.st_shndx == SHN_UNDEF && ELF32_ST_BIND(symbol.st_info) == STB_GLOBAL && symbol.st_name != 0;
}

const ModuleFile& checkModule(const char* path) {
  static ElfFile file;
  static ModuleFile module;
  if (!openElf(path, file)) fail("no 32-bit little-endian MIPS shared object: ", path);
  if (!readSections(file)) fail("unreadable section table in ", path);
  checkHeader(file);
  if (!readSymbols(file, module.symbols)) fail("unreadable dynamic symbols in ", path);
  checkNoTls(file, module.symbols);
  const char* needed[kMaxNeeded];
  uint32_t neededCount = 0;
  char* strings = nullptr;
  readDynamic(file, module, needed, neededCount, strings);
  checkImports(module.symbols, needed, neededCount);
  free(strings);
  closeElf(file);
  return module;
}

void fail(const char* what, const char* detail) {
  fprintf(stderr, "tapload: %s%s\n", what, detail);
  exit(1);
}

}  // namespace tapload
