#include "host.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "linker.h"
#include "sandbox.h"

namespace fs = std::filesystem;

namespace fuzz {
namespace {

std::string& sandbox() {
  static std::string path;
  return path;
}

void removeSandbox() {
  if (!sandbox().empty()) fs::remove_all(sandbox());
}

// Never unloaded: libFuzzer reads the copies' coverage counters to the end.
std::map<int, std::unique_ptr<sim::Module>>& copies() {
  static auto* loaded = new std::map<int, std::unique_ptr<sim::Module>>;
  return *loaded;
}

}  // namespace

void boot(const char* programName) {
  if (!sandbox().empty()) return;
  sandbox() = fs::absolute(std::string(FUZZ_SANDBOXES) + "/" + programName + "-" + std::to_string(getpid()));
  fs::remove_all(sandbox());
  fs::create_directories(sandbox() + "/disk/ProgramFiles/Settings");
  fs::create_directories(sandbox() + "/dev/pts");
  fs::create_directories(sandbox() + "/proc/sys/vm");
  atexit(removeSandbox);
  sim::sandbox::setRoot(sandbox());
  std::string error;
  fw().reset(sandbox() + "/disk");
  if (!sim::loadFirmwareData(sim::FirmwareData::TaskTable, error) ||
      !sim::loadFirmwareData(sim::FirmwareData::Utf8Routine, error))
    fail("cannot load firmware data: %s", error.c_str());
}

std::string hostPath(const std::string& diskPath) { return sandbox() + "/disk" + diskPath; }

sim::Module& module(int copy) {
  auto& slot = copies()[copy];
  if (!slot) {
    std::string path = MODULE_PATH;
    if (copy > 0) {
      path = sandbox() + "/SteadyflowTest-" + std::to_string(copy) + ".tap";
      fs::copy_file(MODULE_PATH, path, fs::copy_options::overwrite_existing);
    }
    std::string error;
    slot = sim::Module::load(path, error);
    if (!slot) fail("%s", error.c_str());
  }
  return *slot;
}

void resetFirmware() {
  fw().reset(sandbox() + "/disk");
  sim::linker::reset();
}

sim::Firmware& fw() { return sim::firmware(); }

TapTaskEntry& currentTask() {
  auto* table = static_cast<TapTaskEntry*>(sim::firmwareExport("_tapTask"));
  auto* index = static_cast<int32_t*>(sim::firmwareExport("_curTapTask"));
  if (table == nullptr || index == nullptr) fail("no task data loaded");
  return table[*index];
}

void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("fuzz: invariant broken: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  abort();
}

}  // namespace fuzz
