#include "recorder.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "core.h"
#include "report_lines.h"
#include "report_text.h"

namespace tapload {
namespace {

uint32_t sequence = 0;  // the module's calls so far, of every kind

// A record's name and its place among the module's calls.
void begin(const char* record) { printf("%s %u", record, ++sequence); }

unsigned long address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

void putValue(const sim::core::Value& v) {
  printf(" %u %u %u %u", static_cast<unsigned>(v.kind), v.null ? 1u : 0u, v.number, v.offset);
  if (v.kind == sim::core::ValueKind::Text)
    putText(stdout, v.null ? nullptr : v.text);
  else
    fputs(" -", stdout);
}

void firmwareCall(void*, const sim::core::Call& call) {
  begin(REPORT_FIRMWARE);
  printf(" %s %u %u %u", sim::core::entryName(call.entry), call.fault ? 1u : 0u, call.argCount,
         call.hasResult ? 1u : 0u);
  for (int i = 0; i < call.argCount; ++i) putValue(call.args[i]);
  if (call.hasResult) putValue(call.result);
  putchar('\n');
}

// What the device's loader bound in the module's table, called by the
// recorders.
struct Bound {
  void* (*dlopen)(const char*, int);
  void* (*dlsym)(void*, const char*);
  char* (*dlerror)();
  int (*dlclose)(void*);
  int (*open)(const char*, int, ...);
  int (*system)(const char*);
} bound;

void* recordDlopen(const char* file, int mode) {
  void* handle = bound.dlopen(file, mode);
  begin(REPORT_DLOPEN);
  putText(stdout, file);
  printf(" %d %lu\n", mode, address(handle));
  return handle;
}

void* recordDlsym(void* handle, const char* name) {
  void* found = bound.dlsym(handle, name);
  begin(REPORT_DLSYM);
  printf(" %lu", address(handle));
  putText(stdout, name);
  printf(" %lu\n", address(found));
  return found;
}

char* recordDlerror() {
  char* text = bound.dlerror();
  begin(REPORT_DLERROR);
  putText(stdout, text);
  putchar('\n');
  return text;
}

int recordDlclose(void* handle) {
  const int result = bound.dlclose(handle);
  begin(REPORT_DLCLOSE);
  printf(" %lu\n", address(handle));
  return result;
}

int recordOpen(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  const int fd = bound.open(path, flags, mode);
  const int error = fd < 0 ? errno : 0;
  begin(REPORT_OPEN);
  putText(stdout, path);
  printf(" %d %d %d\n", flags, fd, error);
  errno = error;
  return fd;
}

// The command goes to the C library's own system, which runs it with the
// real shell; what the report holds so far is written out first.
int recordSystem(const char* command) {
  fflush(stdout);
  const int status = bound.system(command);
  begin(REPORT_SYSTEM);
  putText(stdout, command);
  printf(" %d\n", status);
  return status;
}

struct Recorder {
  const char* name;
  void* recorder;
  void** bound;
};
const Recorder kRecorders[] = {
    {"dlopen", reinterpret_cast<void*>(recordDlopen), reinterpret_cast<void**>(&bound.dlopen)},
    {"dlsym", reinterpret_cast<void*>(recordDlsym), reinterpret_cast<void**>(&bound.dlsym)},
    {"dlerror", reinterpret_cast<void*>(recordDlerror), reinterpret_cast<void**>(&bound.dlerror)},
    {"dlclose", reinterpret_cast<void*>(recordDlclose), reinterpret_cast<void**>(&bound.dlclose)},
    {"open", reinterpret_cast<void*>(recordOpen), reinterpret_cast<void**>(&bound.open)},
    {"system", reinterpret_cast<void*>(recordSystem), reinterpret_cast<void**>(&bound.system)},
};

}  // namespace

void recordFirmware() { sim::core::setHooks({nullptr, nullptr, nullptr, firmwareCall}); }

void recordModuleCalls(const ModuleFile& module, uintptr_t base, void* process) {
  void** got = reinterpret_cast<void**>(base + module.gotAddress);
  for (const Recorder& r : kRecorders) {
    const uint32_t at = module.symbols.find(r.name);
    if (at == 0 || !isImport(module.symbols.table[at])) continue;
    if (at < module.firstGotSymbol) fail("the module refers to an import outside its global offset table: ", r.name);
    void** entry = got + module.localGotCount + (at - module.firstGotSymbol);
    if (*entry != dlsym(process, r.name))
      fail("the module's table entry does not hold what the loader bound for ", r.name);
    *r.bound = *entry;
    *entry = r.recorder;
  }
}

}  // namespace tapload
