// The simulated device as a program that hosts the module sees it: the
// firmware API library, the optional firmware data, and module files that can
// be checked, loaded, called and unloaded again.
#pragma once

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>

#include "firmware.h"

namespace sim {

// The simulated firmware, loaded into the global symbol scope on first use so
// that it satisfies the module's "/tapapi/TMS/libtap.so".
Firmware& firmware();

// Firmware data the module looks up by name; each is a library loaded into the
// global scope only while a scenario wants it.
enum class FirmwareData { TaskTable, Utf8Routine };
bool loadFirmwareData(FirmwareData which, std::string& error);
void unloadFirmwareData(FirmwareData which);
bool firmwareDataLoaded(FirmwareData which);

// Where the process exports NAME (firmware data or API), asked through a
// handle on the process: a lookup in the default scope would tie a firmware
// data library to the caller beyond its scenario.
void* firmwareExport(const char* name);

// What a module file's identity header says.
struct Identity {
  std::string date, description, author, version, name;
  uint32_t id = 0;
  uint32_t headerValue = 0;
};
// Checks that PATH is an ELF object of this machine carrying the seven header
// sections with the module magic; on failure sets ERROR to one line.
std::optional<Identity> readIdentity(const std::string& path, std::string& error);

// A loaded copy of a module. Destroying it unloads the module, so the next
// copy starts with fresh globals. While loaded, its calls into the dynamic
// linker are recorded (linker.h).
class Module {
 public:
  static std::unique_ptr<Module> load(const std::string& path, std::string& error);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  void* symbol(const char* name) const;
  template <class T>
  T* get(const char* name) const {
    return reinterpret_cast<T*>(symbol(name));
  }
  // Whether the module is gone from the process (after the last copy closed).
  static bool unloaded(const std::string& path);

 private:
  explicit Module(void* handle) : handle_(handle) {}
  void* handle_;
};

}  // namespace sim
