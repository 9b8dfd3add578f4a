// The module file as tapload checks it before and after loading it: the
// identity header the firmware reads, and what the device's loader cannot be
// trusted with: a needed library the image lacks, an import none of the
// module's needed libraries exports, text relocations, thread-local storage.
// Every read is bounded by the file and by fixed limits; a file that fails a
// check ends tapload with one line.
#pragma once

#include <elf.h>
#include <stdint.h>

namespace tapload {

// A dynamic symbol table and its string table (which ends in a zero byte).
struct Symbols {
  const Elf32_Sym* table = nullptr;
  uint32_t count = 0;
  const char* strings = nullptr;
  uint32_t stringsSize = 0;

  const char* name(const Elf32_Sym& symbol) const { return strings + symbol.st_name; }
  // The index of the symbol called NAME, or 0 for none.
  uint32_t find(const char* name) const;
};

// What the checks leave for loading: the module's dynamic symbols and the
// layout of its global offset table (MIPS: one entry per symbol from
// firstGotSymbol on, after localGotCount local entries).
struct ModuleFile {
  Symbols symbols;
  uint32_t gotAddress = 0;  // DT_PLTGOT, relative to the load address
  uint32_t localGotCount = 0;
  uint32_t firstGotSymbol = 0;
};

// Whether SYMBOL is an import that must resolve: undefined and not weak.
bool isImport(const Elf32_Sym& symbol);

// Checks the module file at PATH: the identity header; no TLS, no text
// relocations; each needed library held by the image (a file in /lib or
// /usr/lib, or the absolute path), in order; each import exported by one of
// them. The image's libdl.so.0 is a link to its libc.so.0; the names of
// sim/stubs/libdl.allow then count as libdl.so.0's only and the rest as
// libc.so.0's only, as on a device whose libdl.so.0 is a library of its own.
const ModuleFile& checkModule(const char* path);

// Ends tapload: "tapload: WHAT DETAIL" on stderr, exit status 1.
[[noreturn]] void fail(const char* what, const char* detail);

}  // namespace tapload
