#include "harness.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "linker.h"
#include "sandbox.h"
#include "tap.h"

namespace fs = std::filesystem;

void DeviceTest::boot(const DeviceConfig& config) {
  booted_ = config;
  module_.reset();
  sim::unloadFirmwareData(sim::FirmwareData::TaskTable);
  sim::unloadFirmwareData(sim::FirmwareData::Utf8Routine);
  if (!sandbox_.empty()) fs::remove_all(sandbox_);

  char dir[] = "/tmp/steadyflow-test-XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("cannot make a sandbox folder");
  sandbox_ = dir;
  fs::create_directories(sandbox_ + "/disk/ProgramFiles");
  fs::create_directories(sandbox_ + "/dev/pts");
  fs::create_directories(sandbox_ + "/proc/sys/vm");
  sim::sandbox::setRoot(sandbox_);
  sim::sandbox::clearCommands();
  sim::sandbox::failSystem(false);
  for (int t : config.terminals) addTerminal(t);
  std::ofstream(sim::sandbox::kernelSetting()) << "";

  fw().reset(sandbox_ + "/disk");
  fw().setChangeDirSuccess(config.chdirSuccess);
  if (!fw().setCurrentDir(config.startDir)) throw std::runtime_error("no start folder " + config.startDir);
  if (config.taskTable) loadFirmwareData(sim::FirmwareData::TaskTable);
  if (config.utf8Routine) loadFirmwareData(sim::FirmwareData::Utf8Routine);
  loadModule();
}

void DeviceTest::restart() {
  module_.reset();
  fw().reset(sandbox_ + "/disk");
  fw().setChangeDirSuccess(booted_.chdirSuccess);
  fw().setCurrentDir(booted_.startDir);
  loadModule();
}

void DeviceTest::loadModule() {
  std::string error;
  module_ = sim::Module::load(MODULE_PATH, error);
  if (!module_) throw std::runtime_error(error);
  sim::linker::reset();
}

void DeviceTest::TearDown() {
  module_.reset();
  EXPECT_TRUE(sim::Module::unloaded(MODULE_PATH)) << "the module stayed loaded; the next test would share its globals";
  sim::unloadFirmwareData(sim::FirmwareData::TaskTable);
  sim::unloadFirmwareData(sim::FirmwareData::Utf8Routine);
  for (const char* data : {SIM_LIBDIR "/libfwtask.so", SIM_LIBDIR "/libfwutf8.so"})
    EXPECT_TRUE(sim::Module::unloaded(data)) << data << " stayed loaded; the next test would find its symbols";
  sim::sandbox::setRoot("");
  sim::sandbox::failSystem(false);
  fs::remove_all(sandbox_);
  sandbox_.clear();
}

void DeviceTest::loadFirmwareData(sim::FirmwareData which) {
  std::string error;
  if (!sim::loadFirmwareData(which, error)) throw std::runtime_error(error);
}

void* DeviceTest::moduleSymbol(const char* name) const {
  void* p = module_ ? module_->symbol(name) : nullptr;
  if (p == nullptr) throw std::runtime_error(std::string("the module exports no ") + name);
  return p;
}

std::string DeviceTest::hostPath(const std::string& diskPath) const { return sandbox_ + "/disk" + diskPath; }

void DeviceTest::makeDir(const std::string& diskPath) const { fs::create_directories(hostPath(diskPath)); }

void DeviceTest::writeFile(const std::string& diskPath, const std::string& bytes) const {
  std::ofstream(hostPath(diskPath), std::ios::binary | std::ios::trunc) << bytes;
}

static std::optional<std::string> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::optional<std::string> DeviceTest::readFile(const std::string& diskPath) const { return slurp(hostPath(diskPath)); }

bool DeviceTest::exists(const std::string& diskPath) const { return fs::exists(fs::symlink_status(hostPath(diskPath))); }

std::string DeviceTest::terminal(int number) const { return slurp(sim::sandbox::terminal(number)).value_or(""); }

void DeviceTest::addTerminal(int number) const { std::ofstream(sim::sandbox::terminal(number)) << ""; }

std::string DeviceTest::kernelSetting() const { return slurp(sim::sandbox::kernelSetting()).value_or(""); }

const std::vector<std::string>& DeviceTest::commands() const { return sim::sandbox::commands(); }

std::vector<sim::FirmwareCall> DeviceTest::calls(const std::string& entry) const {
  std::vector<sim::FirmwareCall> out;
  for (const sim::FirmwareCall& call : sim::firmware().trace())
    if (call.entry == entry) out.push_back(call);
  return out;
}

CommandResult runCommand(const std::string& commandLine) {
  char errPath[] = "/tmp/steadyflow-err-XXXXXX";
  const int errFd = mkstemp(errPath);
  if (errFd < 0) throw std::runtime_error("cannot make a temporary file");
  close(errFd);
  CommandResult result;
  FILE* pipe = popen((commandLine + " 2>" + errPath).c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + commandLine);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.err = slurp(errPath).value_or("");
  unlink(errPath);
  return result;
}

std::string programPrefix() {
  const std::string prefix = EMULATOR;
  return prefix.empty() ? prefix : prefix + " ";
}

void* firmwareAlloc(uint32_t size) {
  auto entry = static_cast<decltype(TAP_MemAlloc)*>(firmwareExport("TAP_MemAlloc"));
  return (*entry)(size);
}

EdgeString::EdgeString(const std::string& text) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
  if (text.size() >= page_) throw std::runtime_error("string longer than a page");
  base_ = static_cast<char*>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (base_ == MAP_FAILED || mprotect(base_ + page_, page_, PROT_NONE) != 0) throw std::runtime_error("no guard page");
  text_ = base_ + page_ - text.size() - 1;
  memcpy(text_, text.c_str(), text.size() + 1);
}

EdgeString::~EdgeString() { munmap(base_, 2 * page_); }
