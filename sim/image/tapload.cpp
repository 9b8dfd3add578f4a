// tapload: the firmware's module loader in the device image, built against
// the device's C library and run by its loader (ROOT/run, under qemu-mipsel
// as the device's processor). It checks the module file (module_file.h),
// starts the firmware on DISK, loads the firmware data the run wants into
// the global scope, dlopens the module, checks that each import resolves
// there by name, and runs __TAP_Init_, the main entry and the events on the
// device's stack budget (module_stack.h), recording every call the module
// makes (recorder.h).
//
//   tapload MODULE DISK [--start-dir PATH] [--chdir-success N]
//           [--no-task-data] [--no-utf8] [--event CODE:P1:P2]...
//
// What happened goes to stdout as the records of report_lines.h, for devsim
// run --image. A bad command line, a module it refuses and a fault while the
// module runs get one line on stderr and exit status 1.
//
// Built the way the module is: no exceptions, no RTTI, no C++ runtime.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core.h"
#include "event_text.h"
#include "fwdata.h"
#include "module_file.h"
#include "module_stack.h"
#include "recorder.h"
#include "report_text.h"
#include "report_lines.h"
#include "tapheader.h"

extern char** environ;

namespace tapload {
namespace {

constexpr int kMaxEvents = 64;

// What the command line asks for.
struct Run {
  const char* module;
  const char* disk;
  const char* startDir = "/";
  long chdirSuccess = 0;
  bool taskData = true, utf8 = true;
  uint32_t events[kMaxEvents][3];
  int eventCount = 0;
  int32_t (*init)(TapEntryRecord*) = nullptr;  // the module's __TAP_Init_, once loaded
};

constexpr char kUsage[] =
    "usage: tapload MODULE DISK [--start-dir PATH] [--chdir-success N] [--no-task-data] [--no-utf8] "
    "[--event CODE:P1:P2]...";

void parse(int argc, char** argv, Run& run) {
  if (argc < 3) fail(kUsage, "");
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
      if (!sim::parseEvent(argv[++i], run.events[run.eventCount++])) fail("not CODE:P1:P2: ", argv[i]);
    } else {
      fail("unknown or incomplete option ", a);
    }
  }
}

// The device's loader reads its own variables (LD_PRELOAD, LD_LIBRARY_PATH,
// ...) from the environment: a run that got any of the caller's would not
// be the device's.
void checkEnvironment() {
  for (char** e = environ; *e != nullptr; ++e)
    if (strncmp(*e, "LD_", 3) == 0) fail("the device's loader would read the caller's ", *e);
}

// The firmware on the disk, with the data the run wants in the global scope.
void startFirmware(const Run& run) {
  sim::core::reset(run.disk);
  sim::core::setChangeDirSuccess(static_cast<dword>(run.chdirSuccess));
  if (!sim::core::setCurrentDir(run.startDir)) fail("no folder on the disk: ", run.startDir);
  const char* const wanted[] = {run.taskData ? "/tapapi/TMS/" FWDATA_TASK_LIBRARY : nullptr,
                                run.utf8 ? "/tapapi/TMS/" FWDATA_UTF8_LIBRARY : nullptr};
  for (const char* data : wanted)
    if (data != nullptr && dlopen(data, RTLD_NOW | RTLD_GLOBAL) == nullptr)
      fail("cannot load firmware data: ", dlerror());
}

// Loads the module and checks that each of its imports resolves in the global
// scope: where a name is missing, the device's loader leaves a null address
// in the module's table and says nothing. Records its calls from then on.
void loadModule(const ModuleFile& file, Run& run) {
  void* handle = dlopen(run.module, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) fail("cannot load the module: ", dlerror());
  void* process = dlopen(nullptr, RTLD_NOW);
  if (process == nullptr) fail("no handle of the process: ", dlerror());
  for (uint32_t i = 0; i < file.symbols.count; ++i) {
    const Elf32_Sym& s = file.symbols.table[i];
    if (!isImport(s)) continue;
    dlerror();
    if (dlsym(process, file.symbols.name(s)) == nullptr && dlerror() != nullptr)
      fail("the module imports a name nothing in the global scope exports: ", file.symbols.name(s));
  }
  const uint32_t init = file.symbols.find("__TAP_Init_");
  void* address = dlsym(handle, "__TAP_Init_");
  if (init == 0 || address == nullptr) fail("no entry point __TAP_Init_: ", dlerror());
  run.init = reinterpret_cast<int32_t (*)(TapEntryRecord*)>(address);
  recordModuleCalls(file, reinterpret_cast<uintptr_t>(address) - file.symbols.table[init].st_value, process);
  recordFirmware();
}

// __TAP_Init_, the main entry and the events, on the device's stack.
void runEntries(void* context) {
  const Run& run = *static_cast<const Run*>(context);
  TapEntryRecord entries = {nullptr, nullptr};
  const int32_t initResult = run.init(&entries);
  const bool filled = entries.main != nullptr && entries.event != nullptr;
  printf(REPORT_INIT " %d %d\n", initResult, filled ? 1 : 0);
  if (!filled) return;
  const int32_t mainResult = entries.main();
  printf(REPORT_MAIN " %d\n", mainResult);
  for (int i = 0; i < run.eventCount; ++i) {
    const uint32_t* e = run.events[i];
    const uint32_t result = entries.event(e[0], e[1], e[2]);
    printf(REPORT_EVENT " %u %u %u %u\n", e[0], e[1], e[2], result);
  }
}

void reportFirmware() {
  const sim::MemoryStats memory = sim::core::memory();
  fputs(REPORT_CWD, stdout);
  putText(stdout, sim::core::currentDir());
  printf("\n" REPORT_HEAP " %u %llu\n", memory.liveBlocks, static_cast<unsigned long long>(memory.peakBytes));
}

}  // namespace
}  // namespace tapload

int main(int argc, char** argv) {
  using namespace tapload;
  static Run run;
  parse(argc, argv, run);
  checkEnvironment();
  const ModuleFile& file = checkModule(run.module);
  startFirmware(run);
  loadModule(file, run);
  runOnDeviceStack(runEntries, &run);
  reportFirmware();
  return 0;
}
