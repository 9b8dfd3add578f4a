#include "module.h"

#include <dlfcn.h>
#include <elf.h>

#include <cstring>
#include <map>
#include <stdexcept>

#include "elf_file.h"
#include "linker.h"
#include "tapheader.h"

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

std::string textField(const std::string& bytes) { return std::string(bytes.c_str()); }

}  // namespace

std::optional<Identity> readIdentity(const std::string& path, std::string& error, Machine machine) {
  auto elf = ElfFile::read(path, error);
  if (!elf) return std::nullopt;
  if (elf->type() != ET_DYN) {
    error = path + " is no shared object";
    return std::nullopt;
  }
  const bool device = machine == Machine::Device;
  if (elf->machine() != (device ? EM_MIPS : kMachine) || elf->is32Bit() != (device || sizeof(void*) == 4)) {
    error = path + " is built for another machine (ELF machine " + std::to_string(elf->machine()) + ")";
    return std::nullopt;
  }
  std::map<std::string, std::string> fields;  // section name -> its bytes
  for (const TapHeaderSection& wanted : kTapHeaderSections) {
    const ElfSection* s = elf->section(wanted.name);
    if (s == nullptr) {
      error = path + " has no module header (section " + wanted.name + " missing)";
      return std::nullopt;
    }
    const std::string bytes = elf->contents(*s);
    if (s->size != wanted.size || bytes.size() != wanted.size) {
      error = path + ": section " + wanted.name + " holds " + std::to_string(s->size) + " bytes, not " +
              std::to_string(wanted.size);
      return std::nullopt;
    }
    fields[wanted.name] = bytes;
  }
  // The header and the id as the module lays them out (tapheader.h).
  TapModuleHeader header;
  memcpy(&header, fields[TAP_SECTION_HEADER].data(), sizeof header);
  char refusal[TAP_HEADER_REFUSAL_SIZE];
  if (tapHeaderRefused(header, refusal)) {
    error = path + ": " + refusal;
    return std::nullopt;
  }
  Identity id;
  id.date = textField(fields[TAP_SECTION_ETC]);
  id.description = textField(fields[TAP_SECTION_DESCRIPTION]);
  id.author = textField(fields[TAP_SECTION_AUTHOR]);
  id.version = textField(fields[TAP_SECTION_VERSION]);
  id.name = textField(fields[TAP_SECTION_NAME]);
  memcpy(&id.id, fields[TAP_SECTION_ID].data(), sizeof id.id);
  id.headerValue = header.value;
  return id;
}

std::unique_ptr<Module> Module::load(const std::string& path, std::string& error) {
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

void Module::missing(const char* name) { throw std::runtime_error(std::string("the module exports no ") + name); }

bool Module::unloaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return true;
  dlclose(handle);
  return false;
}

}  // namespace sim
