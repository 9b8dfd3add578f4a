// tapload: the firmware's module loader in the device image, built against
// the device's C library and run by its loader (qemu-mipsel -L IMAGE). It
// checks the module's identity header, starts the firmware on DISK, loads
// the firmware data the run wants into the global scope, dlopens the module,
// calls __TAP_Init_ and the main entry and delivers the events.
//
//   tapload MODULE DISK [--start-dir PATH] [--chdir-success N]
//           [--no-task-data] [--no-utf8] [--event CODE:P1:P2]...
//
// What happened goes to stdout, one fact per line, for devsim --image:
//   init RESULT SLOTS        SLOTS 1 when both entry slots were filled
//   main RESULT
//   event CODE P1 P2 RESULT
//   system STATUS LENGTH     then the command's LENGTH bytes and a line end
//   cwd PATH
//   heap LIVE PEAK
//   calls COUNT              firmware calls
// A bad command line, a bad module or a missing entry gets one line on
// stderr and exit status 1.
//
// Built the way the module is: no exceptions, no RTTI, no C++ runtime.
#define _GNU_SOURCE 1  // RTLD_NEXT
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core.h"
#include "tapheader.h"

namespace {

[[noreturn]] void fail(const char* what, const char* detail) {
  fprintf(stderr, "tapload: %s%s\n", what, detail);
  exit(1);
}

bool readAt(int fd, void* buffer, uint64_t size, uint64_t offset) {
  return pread(fd, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Whether SIZE bytes at OFFSET lie within a file of LENGTH bytes.
bool within(uint64_t offset, uint64_t size, uint64_t length) { return offset <= length && size <= length - offset; }

// A module file's section table and section names, read bounded.
struct ModuleFile {
  int fd;
  uint64_t length;
  uint32_t count;
  Elf32_Shdr sections[1024];
  uint32_t namesSize;
  char names[1 << 16];
};

const Elf32_Shdr* section(const ModuleFile& file, const char* name) {
  for (uint32_t i = 0; i < file.count; ++i) {
    const Elf32_Shdr& s = file.sections[i];
    if (s.sh_name < file.namesSize && strcmp(file.names + s.sh_name, name) == 0) return &s;
  }
  return nullptr;
}

// The identity header as the firmware checks it before it maps a module: a
// 32-bit little-endian MIPS shared object whose seven header sections are
// there with their sizes, the last holding the magic and the value.
void checkHeader(const char* path) {
  static ModuleFile file;
  file.fd = open(path, O_RDONLY | O_NONBLOCK);
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) fail("cannot read the module file ", path);
  file.length = static_cast<uint64_t>(st.st_size);
  Elf32_Ehdr eh;
  if (!readAt(file.fd, &eh, sizeof eh, 0) || memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_type != ET_DYN ||
      eh.e_machine != EM_MIPS)
    fail("no 32-bit little-endian MIPS shared object: ", path);
  file.count = eh.e_shnum;
  const uint64_t tableSize = uint64_t{file.count} * sizeof(Elf32_Shdr);
  if (eh.e_shentsize != sizeof(Elf32_Shdr) || file.count == 0 || file.count > 1024 || eh.e_shstrndx >= file.count ||
      !within(eh.e_shoff, tableSize, file.length) || !readAt(file.fd, file.sections, tableSize, eh.e_shoff))
    fail("unreadable section table in ", path);
  const Elf32_Shdr& names = file.sections[eh.e_shstrndx];
  file.namesSize = names.sh_size;
  if (file.namesSize == 0 || file.namesSize > sizeof file.names || !within(names.sh_offset, names.sh_size, file.length) ||
      !readAt(file.fd, file.names, names.sh_size, names.sh_offset))
    fail("unreadable section names in ", path);
  file.names[file.namesSize - 1] = '\0';
  for (const TapHeaderSection& wanted : kTapHeaderSections) {
    const Elf32_Shdr* s = section(file, wanted.name);
    if (s == nullptr || s->sh_size != wanted.size || !within(s->sh_offset, s->sh_size, file.length))
      fail("no module header: missing or wrong section ", wanted.name);
  }
  TapModuleHeader header;
  if (!readAt(file.fd, &header, sizeof header, section(file, TAP_SECTION_HEADER)->sh_offset) ||
      memcmp(header.magic, TAP_HEADER_MAGIC, sizeof header.magic) != 0 || header.value != TAP_HEADER_VALUE)
    fail("wrong module magic or value in ", path);
  close(file.fd);
}

// "CODE:P1:P2", each a number as strtoul reads it.
bool parseEvent(const char* text, unsigned (&event)[3]) {
  for (int i = 0; i < 3; ++i) {
    char* end = nullptr;
    event[i] = static_cast<unsigned>(strtoul(text, &end, 0));
    if (end == text || *end != (i < 2 ? ':' : '\0')) return false;
    text = end + 1;
  }
  return true;
}

void* loadGlobal(const char* library) {
  void* handle = dlopen(library, RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) fail("cannot load firmware data: ", dlerror());
  return handle;
}

}  // namespace

// The module's shell calls: the command is reported as the module formed it,
// then the C library's own system runs it with the real shell.
extern "C" int system(const char* command) {
  using System = int(const char*);
  static System* real = reinterpret_cast<System*>(dlsym(RTLD_NEXT, "system"));
  const int status = real != nullptr ? real(command) : -1;
  const size_t n = command != nullptr ? strlen(command) : 0;
  printf("system %d %zu\n", status, n);
  if (n > 0) fwrite(command, 1, n, stdout);
  printf("\n");
  fflush(stdout);
  return status;
}

namespace {

constexpr int kMaxEvents = 64;

// What the command line asks for.
struct Run {
  const char* module;
  const char* disk;
  const char* startDir = "/";
  long chdirSuccess = 0;
  bool taskData = true, utf8 = true;
  unsigned events[kMaxEvents][3];
  int eventCount = 0;
};

void parse(int argc, char** argv, Run& run) {
  if (argc < 3)
    fail("usage: tapload MODULE DISK [--start-dir PATH] [--chdir-success N] [--no-task-data] [--no-utf8] "
         "[--event CODE:P1:P2]...", "");
  run.module = argv[1];
  run.disk = argv[2];
  for (int i = 3; i < argc; ++i) {
    const char* a = argv[i];
    const bool valued = i + 1 < argc;
    char* end = nullptr;
    if (strcmp(a, "--no-task-data") == 0) {
      run.taskData = false;
    } else if (strcmp(a, "--no-utf8") == 0) {
      run.utf8 = false;
    } else if (strcmp(a, "--start-dir") == 0 && valued) {
      run.startDir = argv[++i];
    } else if (strcmp(a, "--chdir-success") == 0 && valued) {
      run.chdirSuccess = strtol(argv[++i], &end, 0);
      if (*end != '\0') fail("not a number: ", argv[i]);
    } else if (strcmp(a, "--event") == 0 && valued) {
      if (run.eventCount == kMaxEvents) fail("too many events; at most 64", "");
      if (!parseEvent(argv[++i], run.events[run.eventCount++])) fail("not CODE:P1:P2: ", argv[i]);
    } else {
      fail("unknown or incomplete option ", a);
    }
  }
}

// The firmware on the disk, with the data the run wants in the global scope.
void startFirmware(const Run& run) {
  sim::core::reset(run.disk);
  sim::core::setChangeDirSuccess(static_cast<dword>(run.chdirSuccess));
  if (!sim::core::setCurrentDir(run.startDir)) fail("no folder on the disk: ", run.startDir);
  if (run.taskData) loadGlobal("/tapapi/TMS/libfwtask.so");
  if (run.utf8) loadGlobal("/tapapi/TMS/libfwutf8.so");
}

void runModule(const Run& run) {
  void* handle = dlopen(run.module, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) fail("cannot load the module: ", dlerror());
  using Init = int32_t(TapEntryRecord*);
  Init* init = reinterpret_cast<Init*>(dlsym(handle, "__TAP_Init_"));
  if (init == nullptr) fail("no entry point __TAP_Init_: ", dlerror());
  TapEntryRecord entries = {nullptr, nullptr};
  const int32_t initResult = init(&entries);
  const bool filled = entries.main != nullptr && entries.event != nullptr;
  printf("init %d %d\n", initResult, filled ? 1 : 0);
  if (!filled) return;
  fflush(stdout);  // before the module's shell writes to the same file
  printf("main %d\n", entries.main());
  for (int i = 0; i < run.eventCount; ++i) {
    const unsigned* e = run.events[i];
    printf("event %u %u %u %u\n", e[0], e[1], e[2], entries.event(e[0], e[1], e[2]));
  }
}

void reportFirmware() {
  uint32_t calls = 0;
  for (int e = 0; e < sim::core::kEntryCount; ++e) calls += sim::core::callCount(static_cast<sim::core::Entry>(e));
  const sim::MemoryStats memory = sim::core::memory();
  printf("cwd %s\nheap %u %llu\ncalls %u\n", sim::core::currentDir(), memory.liveBlocks,
         static_cast<unsigned long long>(memory.peakBytes), calls);
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  parse(argc, argv, run);
  checkHeader(run.module);
  startFirmware(run);
  runModule(run);
  reportFirmware();
  return 0;
}
