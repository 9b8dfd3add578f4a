#include "device.h"

#include <dlfcn.h>
#include <elf.h>

#include <cstring>

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

uint32_t le32(const std::string& bytes, size_t offset) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

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
  std::string fields[std::size(kTapHeaderSections)];
  for (size_t i = 0; i < std::size(kTapHeaderSections); ++i) {
    const ElfSection* s = elf->section(kTapHeaderSections[i].name);
    if (s == nullptr) {
      error = path + " has no module header (section " + kTapHeaderSections[i].name + " missing)";
      return std::nullopt;
    }
    fields[i] = elf->contents(*s);
    if (s->size != kTapHeaderSections[i].size || fields[i].size() != kTapHeaderSections[i].size) {
      error = path + ": section " + kTapHeaderSections[i].name + " holds " + std::to_string(s->size) + " bytes, not " +
              std::to_string(kTapHeaderSections[i].size);
      return std::nullopt;
    }
  }
  const std::string& header = fields[6];
  if (header.compare(0, 8, TAP_HEADER_MAGIC) != 0) {
    error = path + ": wrong module magic \"" + textField(header.substr(0, 8)) + "\" (expected \"" TAP_HEADER_MAGIC "\")";
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
