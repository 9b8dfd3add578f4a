#include <dlfcn.h>

#include "helpers.h"

// Looks a symbol up in the running process (the firmware and everything it
// loaded globally). Success is decided by the dynamic linker's error text
// alone; the handle is never kept between lookups.
void* TryResolve(const char* symbolName) {
  if (symbolName == nullptr) return nullptr;
  void* process = dlopen(nullptr, RTLD_LAZY | RTLD_GLOBAL);
  if (process == nullptr) return nullptr;
  void* address = dlsym(process, symbolName);
  const bool failed = dlerror() != nullptr;
  dlclose(process);
  return failed ? nullptr : address;
}
