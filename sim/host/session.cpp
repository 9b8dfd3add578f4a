#include "session.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "confinement.h"
#include "linker.h"
#include "platform.h"
#include "sandbox.h"

#if !defined(SIM_LIBDIR) || !defined(SIM_MODULE) || !defined(SIM_EMULATOR)
#error "SIM_LIBDIR, SIM_MODULE and SIM_EMULATOR come from the build"
#endif

namespace sim {
namespace {

namespace fs = std::filesystem;

const char* dataLibrary(FirmwareData which) {
  return which == FirmwareData::TaskTable ? SIM_LIBDIR "/libfwtask.so" : SIM_LIBDIR "/libfwutf8.so";
}

// This program's own command line again: the emulator that runs it (on the
// device build), its file, and its arguments.
std::vector<std::string> thisProgram(int argc, char** argv) {
  std::vector<std::string> argv2;
  std::istringstream emulator(SIM_EMULATOR);
  for (std::string word; emulator >> word;) argv2.push_back(word);
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  argv2.push_back(n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]));
  for (int i = 1; i < argc; ++i) argv2.push_back(argv[i]);
  return argv2;
}

std::string resolved(const std::string& path) {
  char out[PATH_MAX];
  return realpath(path.c_str(), out) ? std::string(out) : path;
}

Session* started = nullptr;

}  // namespace

Session& Session::start(int argc, char** argv, const SessionOptions& options) {
  // Never destroyed: loaded module copies stay until the process ends, for
  // whatever reads them at exit (a fuzzer's coverage counters).
  static Session& session = *new Session;
  started = &session;
  session.program_ = fs::path(argc > 0 ? argv[0] : "steadyflow").filename();
  session.module_ = SIM_MODULE;
  std::string root = options.root;

  // Inside the confinement this program asked for.
  if (const auto named = confinement::namedRoot();
      named && (root.empty() || resolved(root) == resolved(*named))) {
    session.root_ = *named;
    session.disk_ = sandbox::disk(*named);
    session.confined_ = confinement::activeOn(*named);
    if (!session.confined_) session.reason_ = "the confinement named in the environment is not in effect";
    platform::setAccess(!session.confined_ ? platform::Access::Refuse
                                           : options.shell ? platform::Access::Pass : platform::Access::Record);
    return session;
  }

  std::string error;
  if (root.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string made = std::string(tmp && *tmp ? tmp : "/tmp") + "/steadyflow-XXXXXX";
    session.require(mkdtemp(made.data()) != nullptr, "cannot make a temporary sandbox folder");
    root = made;
    session.removeRoot_ = true;
  }
  const auto prepared = sandbox::prepare(root, error);
  session.require(prepared.has_value(), error);
  confinement::Request request{*prepared, {}};
  for (const std::string& folder : options.writable) {
    const auto made = sandbox::prepareWritable(folder, error);
    session.require(made.has_value(), error);
    request.writable.push_back(*made);
  }
  if (confinement::available(request, session.reason_)) {
    const int status = confinement::run(request, thisProgram(argc, argv));
    if (session.removeRoot_) fs::remove_all(*prepared);
    exit(status);
  }
  session.root_ = *prepared;
  session.disk_ = sandbox::disk(*prepared);
  platform::setAccess(platform::Access::Refuse);
  if (session.removeRoot_) atexit([] { fs::remove_all(started->root_); });
  return session;
}

Session& Session::current() {
  if (started == nullptr) {
    fprintf(stderr, "the simulated device's session was used before it started\n");
    abort();
  }
  return *started;
}

void Session::fail(const std::string& line) const {
  fprintf(stderr, "%s: %s\n", program_.c_str(), line.c_str());
  exit(1);
}

void Session::require(bool ok, const std::string& error) const {
  if (!ok) fail(error);
}

std::string Session::terminalPath(int number) const { return sandbox::terminal(root_, number); }
std::string Session::kernelSettingPath() const { return sandbox::kernelSetting(root_); }

void Session::resetTerminals(const std::vector<int>& numbers) {
  std::string error;
  require(sandbox::resetTerminals(root_, numbers, error), error);
}

void Session::clearKernelSetting() {
  std::string error;
  require(sandbox::clearKernelSetting(root_, error), error);
}

void Session::resetDisk() {
  std::string error;
  require(sandbox::resetDisk(root_, error), error);
}

Firmware& Session::firmware() {
  static Firmware* instance = [this] {
    void* lib = dlopen(SIM_LIBDIR "/libtap.so", RTLD_NOW | RTLD_GLOBAL);
    auto get = lib ? reinterpret_cast<Firmware* (*)()>(dlsym(lib, "simfw_firmware")) : nullptr;
    if (get == nullptr) fail(std::string("cannot load the simulated firmware: ") + dlerror());
    return get();
  }();
  return *instance;
}

void Session::resetFirmware(const FirmwareSetup& setup) {
  if (!setup.disk.empty()) disk_ = resolved(setup.disk);
  Firmware& fw = firmware();
  fw.reset(disk_);
  fw.setChangeDirSuccess(setup.chdirSuccess);
  require(fw.setCurrentDir(setup.startDir), "the start directory " + setup.startDir + " is no folder on the disk");
}

void Session::boot(const FirmwareSetup& setup) {
  resetFirmware(setup);
  for (auto [which, wanted] : {std::pair{FirmwareData::TaskTable, setup.taskTable},
                               std::pair{FirmwareData::Utf8Routine, setup.utf8Routine}}) {
    if (wanted)
      loadData(which);
    else
      unloadData(which);
  }
  linker::reset();
  platform::clear();
}

void Session::loadData(FirmwareData which) {
  firmware();
  if (data_.count(which)) return;
  void* handle = dlopen(dataLibrary(which), RTLD_NOW | RTLD_GLOBAL);
  require(handle != nullptr, std::string("cannot load firmware data: ") + (handle ? "" : dlerror()));
  data_[which] = handle;
}

void Session::unloadData(FirmwareData which) {
  auto it = data_.find(which);
  if (it == data_.end()) return;
  dlclose(it->second);
  data_.erase(it);
}

void* Session::firmwareExport(const char* name) {
  void* process = dlopen(nullptr, RTLD_LAZY);
  void* address = dlsym(process, name);
  dlclose(process);
  return address;
}

Session::TaskData Session::taskData() {
  TaskData data{static_cast<TapTaskEntry*>(firmwareExport("_tapTask")),
                static_cast<int32_t*>(firmwareExport("_curTapTask"))};
  return data.table && data.index ? data : TaskData{};
}

void Session::useModule(const std::string& path) {
  unloadModules();
  // A bare name is a file here, not a library to search for.
  module_ = path.find('/') == std::string::npos ? "./" + path : path;
}

Module& Session::module(int copy) {
  auto& slot = copies_[copy];
  if (!slot) {
    firmware();
    std::string path = module_;
    if (copy > 0) {
      path = sandbox::temporary(root_) + "/module-copy-" + std::to_string(copy) + ".tap";
      std::error_code failed;
      fs::copy_file(module_, path, fs::copy_options::overwrite_existing, failed);
      require(!failed, "cannot copy the module to " + path + ": " + failed.message());
    }
    std::string error;
    slot = Module::load(path, error);
    require(slot != nullptr, error);
  }
  return *slot;
}

void Session::unloadModules() { copies_.clear(); }

}  // namespace sim
