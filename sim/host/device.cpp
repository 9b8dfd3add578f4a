#include "device.h"

#include <dlfcn.h>
#include <elf.h>

#include <cstring>
#include <map>

#include "elf_file.h"
#include "linker.h"

#ifndef SIM_LIBDIR
#error "SIM_LIBDIR names the folder of the simulator's libraries"
#endif

namespace sim {
namespace {

#if defined(__mips__)
constexpr uint16_t kMachine = EM_MIPS;
#elif defined(__x86_64__)
constexpr uint16_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t kMachine = EM_AARCH64;
#else
#error "unknown host machine"
#endif

struct HeaderField {
  const char* section;
  uint64_t size;
};
// The identity header's sections, in file order.
constexpr HeaderField kHeader[] = {
    {"._tap_etcinfo", 64},        {"._tap_description", 128}, {"._tap_author_name", 64},
    {"._tap_program_version", 64}, {"._tap_program_name", 64}, {"._tap_id", 4},
    {"._tap_header", 32},
};

std::string textField(const std::string& bytes) { return std::string(bytes.c_str()); }

uint32_t le32(const std::string& bytes, size_t offset) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

std::map<FirmwareData, void*>& dataHandles() {
  static std::map<FirmwareData, void*> handles;
  return handles;
}

const char* dataLibrary(FirmwareData which) {
  return which == FirmwareData::TaskTable ? SIM_LIBDIR "/libfwtask.so" : SIM_LIBDIR "/libfwutf8.so";
}

}  // namespace

Firmware& firmware() {
  static Firmware* instance = [] {
    void* lib = dlopen(SIM_LIBDIR "/libtap.so", RTLD_NOW | RTLD_GLOBAL);
    auto get = lib ? reinterpret_cast<Firmware* (*)()>(dlsym(lib, "simfw_firmware")) : nullptr;
    if (get == nullptr) {
      fprintf(stderr, "devsim: cannot load the simulated firmware: %s\n", dlerror());
      exit(70);
    }
    return get();
  }();
  return *instance;
}

bool loadFirmwareData(FirmwareData which, std::string& error) {
  firmware();
  if (dataHandles().count(which)) return true;
  void* handle = dlopen(dataLibrary(which), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    error = dlerror();
    return false;
  }
  dataHandles()[which] = handle;
  return true;
}

void unloadFirmwareData(FirmwareData which) {
  auto it = dataHandles().find(which);
  if (it == dataHandles().end()) return;
  dlclose(it->second);
  dataHandles().erase(it);
}

void* firmwareExport(const char* name) {
  void* process = dlopen(nullptr, RTLD_LAZY);
  void* address = dlsym(process, name);
  dlclose(process);
  return address;
}

bool firmwareDataLoaded(FirmwareData which) { return dataHandles().count(which) > 0; }

std::optional<Identity> readIdentity(const std::string& path, std::string& error) {
  auto elf = ElfFile::read(path, error);
  if (!elf) return std::nullopt;
  if (elf->type() != ET_DYN) {
    error = path + " is no shared object";
    return std::nullopt;
  }
  if (elf->machine() != kMachine || elf->is32Bit() != (sizeof(void*) == 4)) {
    error = path + " is built for another machine (ELF machine " + std::to_string(elf->machine()) + ")";
    return std::nullopt;
  }
  std::string fields[std::size(kHeader)];
  for (size_t i = 0; i < std::size(kHeader); ++i) {
    const ElfSection* s = elf->section(kHeader[i].section);
    if (s == nullptr) {
      error = path + " has no module header (section " + kHeader[i].section + " missing)";
      return std::nullopt;
    }
    fields[i] = elf->contents(*s);
    if (s->size != kHeader[i].size || fields[i].size() != kHeader[i].size) {
      error = path + ": section " + kHeader[i].section + " holds " + std::to_string(s->size) + " bytes, not " +
              std::to_string(kHeader[i].size);
      return std::nullopt;
    }
  }
  const std::string& header = fields[6];
  if (header.compare(0, 8, "TFAPMIPS") != 0) {
    error = path + ": wrong module magic \"" + textField(header.substr(0, 8)) + "\" (expected \"TFAPMIPS\")";
    return std::nullopt;
  }
  Identity id;
  id.date = textField(fields[0]);
  id.description = textField(fields[1]);
  id.author = textField(fields[2]);
  id.version = textField(fields[3]);
  id.name = textField(fields[4]);
  id.id = le32(fields[5], 0);
  id.headerValue = le32(header, 8);
  return id;
}

std::unique_ptr<Module> Module::load(const std::string& path, std::string& error) {
  firmware();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    error = std::string("cannot load ") + dlerror();
    return nullptr;
  }
  linker::watch(handle);
  return std::unique_ptr<Module>(new Module(handle));
}

Module::~Module() {
  linker::unwatch(handle_);
  dlclose(handle_);
}

void* Module::symbol(const char* name) const { return dlsym(handle_, name); }

bool Module::unloaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return true;
  dlclose(handle);
  return false;
}

}  // namespace sim
