// The simulator's ELF reader on crafted input: every broken offset, size or
// index is refused with one line or read safely, and what is not a small
// regular file is refused without blocking.
#include <elf.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <fstream>

#include "elf_file.h"
#include "harness.h"

namespace {

// A small shared object: sections null, .shstrtab, .dynstr, .dynsym (one
// import, "open"), .dynamic (needs "libc.so.0") and one relocation section.
template <class Ehdr, class Shdr, class Sym, class Dyn, class Rel>
struct Image {
  Ehdr eh;
  Shdr sh[6];
  Sym sym[2];
  Dyn dyn[2];
  Rel rel[1];
  char shstrtab[48];
  char dynstr[256];
};
using Image64 = Image<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Elf64_Dyn, Elf64_Rela>;
using Image32 = Image<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Elf32_Dyn, Elf32_Rel>;

template <class I>
I image(unsigned char elfClass, uint32_t relType, uint64_t relInfo) {
  I im;
  memset(&im, 0, sizeof im);
  memcpy(im.eh.e_ident, ELFMAG, SELFMAG);
  im.eh.e_ident[EI_CLASS] = elfClass;
  im.eh.e_ident[EI_DATA] = ELFDATA2LSB;
  im.eh.e_type = ET_DYN;
  im.eh.e_shoff = offsetof(I, sh);
  im.eh.e_shentsize = sizeof im.sh[0];
  im.eh.e_shnum = 6;
  im.eh.e_shstrndx = 1;
  memcpy(im.shstrtab, "\0.shstrtab\0.dynstr\0.dynsym\0.dynamic\0.rel\0", 42);
  memcpy(im.dynstr, "\0libc.so.0\0open\0", 16);
  const struct {
    uint32_t name, type;
    size_t offset, size;
    uint32_t link, entsize;
  } sections[] = {{},
                  {1, SHT_STRTAB, offsetof(I, shstrtab), sizeof im.shstrtab, 0, 0},
                  {11, SHT_STRTAB, offsetof(I, dynstr), sizeof im.dynstr, 0, 0},
                  {19, SHT_DYNSYM, offsetof(I, sym), sizeof im.sym, 2, sizeof im.sym[0]},
                  {27, SHT_DYNAMIC, offsetof(I, dyn), sizeof im.dyn, 2, sizeof im.dyn[0]},
                  {36, relType, offsetof(I, rel), sizeof im.rel, 3, sizeof im.rel[0]}};
  for (int i = 0; i < 6; ++i) {
    im.sh[i].sh_name = sections[i].name;
    im.sh[i].sh_type = sections[i].type;
    im.sh[i].sh_offset = sections[i].offset;
    im.sh[i].sh_size = sections[i].size;
    im.sh[i].sh_link = sections[i].link;
    im.sh[i].sh_entsize = sections[i].entsize;
  }
  im.sh[5].sh_flags = SHF_ALLOC;
  im.sym[1].st_name = 11;
  im.sym[1].st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
  im.dyn[0].d_tag = DT_NEEDED;
  im.dyn[0].d_un.d_val = 1;
  im.rel[0].r_offset = 0x1000;
  im.rel[0].r_info = relInfo;
  return im;
}

Image64 image64() { return image<Image64>(ELFCLASS64, SHT_RELA, ELF64_R_INFO(1, R_X86_64_GLOB_DAT)); }

template <class I>
std::string bytesOf(const I& im) {
  return std::string(reinterpret_cast<const char*>(&im), sizeof im);
}

TEST(ElfFile, ReadsTheSmallImageOfEitherClass) {
  const std::pair<std::string, bool> images[] = {
      {bytesOf(image64()), true}, {bytesOf(image<Image32>(ELFCLASS32, SHT_REL, ELF32_R_INFO(1, R_MIPS_REL32))), false}};
  for (const auto& [bytes, is64] : images) {
    std::string error;
    auto elf = sim::ElfFile::parse(bytes, error);
    ASSERT_TRUE(elf) << error;
    EXPECT_EQ(elf->is32Bit(), !is64);
    EXPECT_EQ(elf->needed(), std::vector<std::string>{"libc.so.0"});
    ASSERT_NE(elf->section(".dynamic"), nullptr);
    EXPECT_EQ(elf->section(".rel")->type, is64 ? uint32_t{SHT_RELA} : uint32_t{SHT_REL});
    ASSERT_EQ(elf->dynamicSymbols().size(), 1u);
    EXPECT_EQ(elf->dynamicSymbols()[0].name, "open");
    EXPECT_FALSE(elf->dynamicSymbols()[0].defined);
    ASSERT_EQ(elf->dynamicRelocations().size(), 1u);
    EXPECT_EQ(elf->dynamicRelocations()[0].type, is64 ? uint32_t{R_X86_64_GLOB_DAT} : uint32_t{R_MIPS_REL32});
    EXPECT_EQ(elf->dynamicRelocations()[0].symbol, 1u);
    EXPECT_EQ(elf->dynamicRelocations()[0].offset, 0x1000u);
  }
}

TEST(ElfFile, RefusesCraftedOffsetsSizesAndIndices) {
  constexpr uint64_t kTop = ~uint64_t{0};
  const struct {
    const char* what;
    void (*change)(Image64&);
    const char* error;  // nullptr: read safely
  } cases[] = {
      {"string table offset + size wraps", [](Image64& im) { im.sh[2].sh_offset = kTop - 7; im.sh[2].sh_size = 16; },
       "has section 2 past the end of the file"},
      {"string table size wraps", [](Image64& im) { im.sh[1].sh_size = kTop; }, "has section 1 past the end"},
      {"section past the end", [](Image64& im) { im.sh[4].sh_offset = sizeof im - 8; }, "has section 4 past the end"},
      {"section table past the end", [](Image64& im) { im.eh.e_shoff = sizeof im - 64; },
       "has its section header table past the end of the file"},
      {"section table offset wraps", [](Image64& im) { im.eh.e_shoff = kTop - 63; }, "section header table past"},
      {"huge e_shnum", [](Image64& im) { im.eh.e_shnum = 0xFFFF; }, "section header table past"},
      {"section header size", [](Image64& im) { im.eh.e_shentsize = 40; }, "has section headers of 40 bytes, not 64"},
      {"e_shstrndx out of range", [](Image64& im) { im.eh.e_shstrndx = 6; }, "names section 6 as its section names"},
      {"e_shstrndx extended", [](Image64& im) { im.eh.e_shstrndx = SHN_XINDEX; }, "as its section names"},
      {"sh_link out of range", [](Image64& im) { im.sh[3].sh_link = 99; }, "section 3 linking to section 99, of 6"},
      {"sh_name outside its table", [](Image64& im) { im.sh[4].sh_name = 48; }, "has a name at 48 outside section 1"},
      {"st_name outside its table", [](Image64& im) { im.sym[1].st_name = 1000; }, "name at 1000 outside section 2"},
      {"d_val far outside", [](Image64& im) { im.dyn[0].d_un.d_val = kTop; }, "outside section 2"},
      {"string table without bytes", [](Image64& im) { im.sh[2].sh_type = SHT_NOBITS; }, "outside section 2"},
      {"symbol entry size", [](Image64& im) { im.sh[3].sh_entsize = 16; },
       "section 3 with entries of 16 bytes, not 24"},
      {"relocation entry size", [](Image64& im) { im.sh[5].sh_entsize = 0; }, "entries of 0 bytes"},
      {"one long name for every section", [](Image64& im) {
         memset(im.dynstr, 'x', sizeof im.dynstr - 1);
         im.eh.e_shstrndx = 2;
         for (auto& s : im.sh) s.sh_name = 0;
       }, "refers to the same bytes over and over"},
      {"unterminated string table", [](Image64& im) { memset(im.dynstr, 'x', sizeof im.dynstr); }, nullptr},
      {"no section headers", [](Image64& im) { im.eh.e_shnum = 0; im.eh.e_shoff = kTop; }, nullptr},
      {"table not a whole number of entries", [](Image64& im) { im.sh[5].sh_size += 5; }, nullptr},
      {"table smaller than one entry", [](Image64& im) { im.sh[5].sh_size = 3; }, nullptr},
      {"unknown class", [](Image64& im) { im.eh.e_ident[EI_CLASS] = 7; }, "is of unknown ELF class 7"},
      {"big-endian", [](Image64& im) { im.eh.e_ident[EI_DATA] = ELFDATA2MSB; }, "is not a little-endian ELF file"},
  };
  for (const auto& c : cases) {
    Image64 im = image64();
    c.change(im);
    std::string error;
    auto elf = sim::ElfFile::parse(bytesOf(im), error);
    if (c.error == nullptr) {
      EXPECT_TRUE(elf) << c.what << ": " << error;
      continue;
    }
    EXPECT_FALSE(elf) << c.what;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.what;
  }
  std::string error;
  EXPECT_FALSE(sim::ElfFile::parse(bytesOf(image64()).substr(0, 40), error));
  EXPECT_EQ(error, "is truncated within its ELF header");
}

// A FIFO with no writer and /dev/zero would each hang a plain read; a sparse
// file over the limit would exhaust memory.
TEST(ElfFile, ReadRefusesWhatIsNoSmallRegularFile) {
  const std::string folder = temporaryFolder(), fifo = folder + "/fifo", big = folder + "/big",
                    crafted = folder + "/crafted";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(big).close();
  ASSERT_EQ(truncate(big.c_str(), sim::ElfFile::kMaxFileSize + 1), 0);  // sparse: no disk used
  Image64 im = image64();
  im.sh[1].sh_offset = ~uint64_t{0} - 7;
  writeHostFile(crafted, bytesOf(im));
  const std::pair<std::string, std::string> cases[] = {
      {fifo, fifo + ": not a regular file"},
      {"/dev/zero", "/dev/zero: not a regular file"},
      {folder, folder + ": not a regular file"},
      {big, big + ": larger than 64 MiB"},
      {folder + "/missing", folder + "/missing: No such file or directory"},
      {crafted, crafted + " has section 1 past the end of the file"},
  };
  for (const auto& [path, expected] : cases) {
    std::string error;
    EXPECT_FALSE(sim::ElfFile::read(path, error)) << path;
    EXPECT_EQ(error, expected);
  }
  for (const std::string& file : {fifo, big, crafted}) unlink(file.c_str());
  rmdir(folder.c_str());
}

}  // namespace
