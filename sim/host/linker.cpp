#include "linker.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>


namespace sim::linker {
namespace {

using record::LinkerCall;
using record::LinkerFn;

// The version under which the platform's libc (2.34 and later) defines the
// four functions, on every machine.
constexpr char kRealVersion[] = "GLIBC_2.34";

template <class F>
F realFunction(const char* name) {
  void* p = dlvsym(RTLD_NEXT, name, kRealVersion);
  if (p == nullptr) {
    fprintf(stderr, "devsim: the platform's libc has no %s@%s\n", name, kRealVersion);
    abort();
  }
  return reinterpret_cast<F>(p);
}

struct Real {
  decltype(&::dlopen) open = realFunction<decltype(&::dlopen)>("dlopen");
  decltype(&::dlsym) symbol = realFunction<decltype(&::dlsym)>("dlsym");
  decltype(&::dlerror) error = realFunction<decltype(&::dlerror)>("dlerror");
  decltype(&::dlclose) close = realFunction<decltype(&::dlclose)>("dlclose");
};

const Real& real() {
  static const Real functions;
  return functions;
}

struct State {
  std::vector<const void*> watched;  // link maps of the watched objects
  std::vector<LinkerCall> calls;
  uint32_t refusals = 0;
  std::map<std::string, std::string> errors;  // symbol -> injected error text
  // An injected error not yet fetched. Like the real error state it is
  // cleared by the next dynamic-linker call of any kind.
  std::optional<std::string> pendingError;
  std::string shownError;  // storage for the text dlerror handed out
};

// Never destroyed, and made without registering a destructor: the sanitizer
// runtimes call dlsym while they start, before they accept such registrations.
State& state() {
  alignas(State) static unsigned char storage[sizeof(State)];
  static State* s = new (storage) State;
  return *s;
}

const void* linkMap(void* handle) {
  struct link_map* map = nullptr;
  return handle != nullptr && dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 ? map : nullptr;
}

}  // namespace

bool fromModule(const void* returnAddress) {
  const auto& watched = state().watched;
  if (watched.empty()) return false;
  Dl_info info;
  void* map = nullptr;
  if (dladdr1(returnAddress, &info, &map, RTLD_DL_LINKMAP) == 0) return false;
  return std::find(watched.begin(), watched.end(), map) != watched.end();
}

void watch(void* handle) {
  if (const void* map = linkMap(handle)) state().watched.push_back(map);
}

void unwatch(void* handle) {
  auto& watched = state().watched;
  const void* map = linkMap(handle);
  watched.erase(std::remove(watched.begin(), watched.end(), map), watched.end());
}

const std::vector<LinkerCall>& calls() { return state().calls; }

uint32_t count(LinkerFn fn) {
  const auto& calls = state().calls;
  return static_cast<uint32_t>(
      std::count_if(calls.begin(), calls.end(), [fn](const LinkerCall& c) { return c.fn == fn; }));
}

void reset() {
  State& s = state();
  s.calls.clear();
  s.refusals = 0;
  s.errors.clear();
  s.pendingError.reset();
}

void refuseProcessHandle(uint32_t times) { state().refusals += times; }

void reportErrorFor(const std::string& symbol, const std::string& text) {
  if (text.empty())
    state().errors.erase(symbol);
  else
    state().errors[symbol] = text;
}

}  // namespace sim::linker

using namespace sim::linker;
using sim::record::LinkerCall;
using sim::record::LinkerFn;

// Each function looks at its own return address first, before anything else
// can disturb it.

extern "C" __attribute__((noinline)) void* dlopen(const char* file, int mode) noexcept {
  const bool watched = fromModule(__builtin_return_address(0));
  State& s = state();
  s.pendingError.reset();
  void* handle;
  if (watched && file == nullptr && s.refusals > 0) {
    --s.refusals;
    s.pendingError = "cannot open the process (injected)";
    handle = nullptr;
  } else {
    handle = real().open(file, mode);
  }
  if (watched) {
    LinkerCall c{LinkerFn::Open, sim::record::next()};
    if (file != nullptr) c.name = file;
    c.flags = mode;
    c.handle = handle;
    s.calls.push_back(c);
  }
  return handle;
}

extern "C" __attribute__((noinline)) void* dlsym(void* __restrict handle, const char* __restrict name) noexcept {
  const bool watched = fromModule(__builtin_return_address(0));
  State& s = state();
  s.pendingError.reset();
  void* address = real().symbol(handle, name);
  if (watched) {
    auto injected = name != nullptr ? s.errors.find(name) : s.errors.end();
    if (injected != s.errors.end()) s.pendingError = injected->second;
    LinkerCall c{LinkerFn::Symbol, sim::record::next()};
    if (name != nullptr) c.name = name;
    c.handle = handle;
    c.address = address;
    s.calls.push_back(c);
  }
  return address;
}

extern "C" __attribute__((noinline)) char* dlerror() noexcept {
  const bool watched = fromModule(__builtin_return_address(0));
  State& s = state();
  char* text;
  if (s.pendingError) {
    real().error();  // fetching clears the real state as well
    s.shownError = *s.pendingError;
    s.pendingError.reset();
    text = s.shownError.data();
  } else {
    text = real().error();
  }
  if (watched) {
    LinkerCall c{LinkerFn::Error, sim::record::next()};
    if (text != nullptr) c.error = text;
    s.calls.push_back(c);
  }
  return text;
}

extern "C" __attribute__((noinline)) int dlclose(void* handle) noexcept {
  const bool watched = fromModule(__builtin_return_address(0));
  State& s = state();
  s.pendingError.reset();
  const int result = real().close(handle);
  if (watched) {
    LinkerCall c{LinkerFn::Close, sim::record::next()};
    c.handle = handle;
    s.calls.push_back(c);
  }
  return result;
}
