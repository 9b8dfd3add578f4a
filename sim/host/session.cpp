#include "session.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "confine.h"
#include "layout.h"
#include "linker.h"
#include "platform.h"
#include "record.h"
#include "sandbox.h"

#if !defined(SIM_EMULATOR)
#error "SIM_EMULATOR comes from the build"
#endif

namespace sim {
namespace {

namespace fs = std::filesystem;

// This program's own file (under qemu, the program qemu runs).
std::string self() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// PLACE, one of kPlaces, as a path: relative to this program's folder.
std::string placed(const char* place) {
  static const fs::path folder = fs::path(self()).parent_path();
  return (folder / place).lexically_normal();
}

std::string dataLibrary(FirmwareData which) {
  return placed(kPlaces.libraries) + "/" +
         (which == FirmwareData::TaskTable ? FWDATA_TASK_LIBRARY : FWDATA_UTF8_LIBRARY);
}

// This program's own command line again: the emulator that runs it (on the
// device build), its file, and its arguments.
std::vector<std::string> thisProgram(int argc, char** argv) {
  std::vector<std::string> argv2 = Session::programCommand(self());
  argv2.insert(argv2.end(), argv + 1, argv + argc);
  return argv2;
}

Session* started = nullptr;

}  // namespace

confine::Request Session::request(int argc, char** argv, const SessionOptions& options) {
  confine::Request request;
  request.program = thisProgram(argc, argv);
  // What every hosting program reads: its own file, the libraries it loads
  // and the links to them, the build's module.
  request.reach = options.reach;
  request.reach.insert(request.reach.end(),
                       {self(), placed(kPlaces.libraries), placed(kPlaces.compat), placed(kPlaces.module)});
  request.writable = options.writable;
  request.nested = options.nested;
  request.timeout = options.timeout;
  request.dataBytes = options.dataBytes;
  return request;
}

Session& Session::start(int argc, char** argv, const SessionOptions& options) {
  // Never destroyed: loaded module copies stay until the process ends, for
  // whatever reads them at exit (a fuzzer's coverage counters).
  static Session& session = *new Session;
  started = &session;
  session.program_ = fs::path(argc > 0 ? argv[0] : "steadyflow").filename();
  session.module_ = placed(kPlaces.module);
  session.root_ = layout::kRoom;
  session.disk_ = session.root_ + "/" + layout::kDisk;

  // The confined run this program asked for, as the mounts and the
  // identity prove.
  if (confine::inside::own(session.program_.c_str())) {
    session.confined_ = true;
    session.runShell(options.shell);
    return session;
  }
  if (options.withoutConfinement && !confine::available(session.reason_)) {
    // Carrying on without: a folder of its own for the program's files, and
    // no module.
    std::string made = "/tmp/steadyflow-XXXXXX";
    session.require(mkdtemp(made.data()) != nullptr, "cannot make a temporary folder");
    session.root_ = made;
    session.disk_ = made + "/" + layout::kDisk;
    fs::create_directories(session.scratch());
    atexit([] { fs::remove_all(started->root_); });
    return session;
  }
  exit(confine::runToEnd(request(argc, argv, options), session.program_));
}

std::string Session::buildModule() { return placed(kPlaces.module); }

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

std::string Session::scratch() const { return root_ + "/" + layout::kScratch; }
std::string Session::terminalPath(int number) const {
  return std::string(layout::kTerminals) + "/" + std::to_string(number);
}
std::string Session::kernelSettingPath() const { return layout::kKernelSetting; }

void Session::resetTerminals(const std::vector<int>& numbers) {
  std::string error;
  require(sandbox::emptyFolder(layout::kTerminals, error), error);
  for (int n : numbers) {
    const int fd = open(terminalPath(n).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    require(fd >= 0, "cannot make " + terminalPath(n));
    close(fd);
  }
}

void Session::clearKernelSetting() {
  // The file itself is what stands over the kernel's, so it is emptied in
  // place, never replaced.
  require(truncate(layout::kKernelSetting, 0) == 0, std::string("cannot empty ") + layout::kKernelSetting);
}

void Session::resetDisk() {
  std::string error;
  require(sandbox::emptyFolder(disk_, error), error);
  require(mkdir(hostPath("/ProgramFiles").c_str(), 0755) == 0, "cannot make " + hostPath("/ProgramFiles"));
}

void Session::clearScratch() {
  std::string error;
  require(sandbox::emptyFolder(scratch(), error), error);
}

void Session::runShell(bool run) { platform::setAccess(run ? platform::Access::Pass : platform::Access::Record); }

std::vector<std::string> Session::programCommand(const std::string& program) {
  std::vector<std::string> argv;
  std::istringstream emulator(SIM_EMULATOR);
  for (std::string word; emulator >> word;) argv.push_back(word);
  argv.push_back(program);
  return argv;
}

Firmware& Session::firmware() {
  static Firmware* instance = [this] {
    void* lib = dlopen((placed(kPlaces.libraries) + "/libtap.so").c_str(), RTLD_NOW | RTLD_GLOBAL);
    auto get = lib ? reinterpret_cast<Firmware* (*)()>(dlsym(lib, "simfw_firmware")) : nullptr;
    if (get == nullptr) fail(std::string("cannot load the simulated firmware: ") + dlerror());
    get()->numberRecordsWith(&record::next);
    return get();
  }();
  return *instance;
}

void Session::resetFirmware(const FirmwareSetup& setup) {
  if (!setup.disk.empty()) disk_ = fs::weakly_canonical(fs::absolute(setup.disk));
  Firmware& fw = firmware();
  fw.reset(disk_);
  fw.setChangeDirSuccess(setup.chdirSuccess);
  require(fw.setCurrentDir(setup.startDir), "the start directory " + setup.startDir + " is no folder on the disk");
}

void Session::boot(const FirmwareSetup& setup) {
  resetFirmware(setup);
  for (auto [which, wanted] :
       {std::pair{FirmwareData::TaskTable, setup.taskTable}, std::pair{FirmwareData::Utf8Routine, setup.utf8Routine}}) {
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
  void* handle = dlopen(dataLibrary(which).c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) fail(std::string("cannot load firmware data: ") + dlerror());
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
  require(confined_, "no module is loaded without the confinement: " + reason_);
  auto& slot = copies_[copy];
  if (!slot) {
    firmware();
    std::string path = module_;
    if (copy > 0) {
      path = scratch() + "/module-copy-" + std::to_string(copy) + ".tap";
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
