// Module files as a program that hosts the module sees them: checked for
// their identity header, loaded, reached through their exports and unloaded
// again. The one way every hosting program calls a module.
#pragma once

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>

namespace sim {

// What a module file's identity header says.
struct Identity {
  std::string date, description, author, version, name;
  uint32_t id = 0;
  uint32_t headerValue = 0;
};
// The machine a module file is built for: the one this program runs on, or
// the device (32-bit little-endian MIPS), for the device image.
enum class Machine { ThisOne, Device };
// Checks that PATH is an ELF object for MACHINE carrying the seven header
// sections with a module header the device's loader takes
// (tapHeaderRefused); on failure sets ERROR to one line.
std::optional<Identity> readIdentity(const std::string& path, std::string& error, Machine machine = Machine::ThisOne);

// A loaded copy of a module. Destroying it unloads the module, so the next
// copy starts with fresh globals. While loaded, its calls into the dynamic
// linker are recorded (linker.h).
class Module {
 public:
  static std::unique_ptr<Module> load(const std::string& path, std::string& error);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The module's export NAME as what it is, T: a function type or a
  // variable's type, e.g.
  //   module.exported<decltype(INIGetInt)>("INIGetInt")("MinimumKBFree", 10000, 100, 50000)
  //   module.exported<int32_t>("TAPDirStackDepth")
  // A module that exports no NAME throws std::runtime_error, "the module
  // exports no NAME". find() answers nullptr instead.
  template <class T>
  T& exported(const char* name) const {
    T* address = find<T>(name);
    if (address == nullptr) missing(name);
    return *address;
  }
  template <class T>
  T* find(const char* name) const {
    return reinterpret_cast<T*>(symbol(name));
  }
  // Whether the module is gone from the process (after the last copy closed).
  static bool unloaded(const std::string& path);

 private:
  explicit Module(void* handle) : handle_(handle) {}
  void* symbol(const char* name) const;
  [[noreturn]] static void missing(const char* name);
  void* handle_;
};

}  // namespace sim
