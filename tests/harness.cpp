#include "harness.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "file.h"
#include "fwdata.h"
#include "linker.h"
#include "platform.h"
#include "process.h"
#include "sandbox.h"
#include "tap.h"

namespace fs = std::filesystem;

void DeviceTest::boot(const DeviceConfig& config) {
  if (!session().confined()) GTEST_SKIP() << "the module runs only confined: " << session().unconfinedReason();
  booted_ = config;
  session().unloadModules();
  session().resetDisk();
  session().resetTerminals(config.terminals);
  session().clearKernelSetting();
  session().clearScratch();
  session().runShell(true);
  session().boot(config);
  loadModule();
}

void DeviceTest::restart() {
  session().unloadModules();
  session().resetFirmware(booted_);
  loadModule();
}

void DeviceTest::loadModule() {
  session().module();
  sim::linker::reset();
}

void DeviceTest::failShell() { session().runShell(false); }

void DeviceTest::TearDown() {
  if (!session().confined()) return;
  session().unloadModules();
  EXPECT_TRUE(sim::Module::unloaded(session().modulePath()))
      << "the module stayed loaded; the next test would share its globals";
  session().unloadData(sim::FirmwareData::TaskTable);
  session().unloadData(sim::FirmwareData::Utf8Routine);
  for (const char* data : {SIM_LIBDIR "/" FWDATA_TASK_LIBRARY, SIM_LIBDIR "/" FWDATA_UTF8_LIBRARY})
    EXPECT_TRUE(sim::Module::unloaded(data)) << data << " stayed loaded; the next test would find its symbols";
}

std::string DeviceTest::hostPath(const std::string& diskPath) const { return session().hostPath(diskPath); }

void DeviceTest::makeDir(const std::string& diskPath) const { fs::create_directories(hostPath(diskPath)); }

void writeHostFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

void DeviceTest::writeFile(const std::string& diskPath, const std::string& bytes) const {
  writeHostFile(hostPath(diskPath), bytes);
}

std::optional<std::string> DeviceTest::readFile(const std::string& diskPath) const {
  return sim::readFile(hostPath(diskPath));
}

bool DeviceTest::exists(const std::string& diskPath) const {
  return fs::exists(fs::symlink_status(hostPath(diskPath)));
}

std::string DeviceTest::terminal(int number) const {
  return sim::readFile(session().terminalPath(number)).value_or("");
}

void DeviceTest::addTerminal(int number) const { writeHostFile(session().terminalPath(number), ""); }

std::string DeviceTest::kernelSetting() const { return sim::readFile(session().kernelSettingPath()).value_or(""); }

std::vector<std::string> DeviceTest::commands() const {
  std::vector<std::string> out;
  for (const sim::record::ShellCall& call : sim::platform::commands()) out.push_back(call.command);
  return out;
}

std::vector<sim::FirmwareCall> DeviceTest::calls(const std::string& entry) const {
  sim::firmware().callCount(entry);  // throws for a name that is no entry: a misspelling finds nothing
  std::vector<sim::FirmwareCall> out;
  for (const sim::FirmwareCall& call : sim::firmware().trace())
    if (call.entry == entry) out.push_back(call);
  return out;
}

void DeviceTest::expectTidy(uint32_t liveBlocks) {
  EXPECT_EQ(fw().openFiles(), 0u) << "files left open";
  EXPECT_EQ(moduleExport<int32_t>("TAPDirStackDepth"), -1) << "directory stack depth";
  EXPECT_EQ(fw().memory().liveBlocks, liveBlocks) << "heap blocks live";
  EXPECT_EQ(fw().memory().badFrees, 0u) << "frees of no live block";
}

std::string temporaryFolder() {
  std::string made = sim::Session::current().scratch() + "/test-XXXXXX";
  if (mkdtemp(made.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
  return made;
}

CommandResult runProgram(const std::vector<std::string>& argv, const std::string& folder) {
  const std::string outputs = temporaryFolder();
  const std::string outPath = outputs + "/out", errPath = outputs + "/err";
  sim::process::Child child;
  child.out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  child.err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  child.folder = folder;
  const int status = child.out < 0 || child.err < 0 ? -1 : sim::process::run(argv, child);
  for (int fd : {child.out, child.err})
    if (fd >= 0) close(fd);
  if (status < 0) throw std::runtime_error("cannot run " + argv.at(0));
  CommandResult result;
  const sim::process::Ending ending = sim::process::ending(status);
  result.status = ending.exited ? ending.code : -1;
  result.out = sim::readFile(outPath).value_or("");
  result.err = sim::readFile(errPath).value_or("");
  fs::remove_all(outputs);
  return result;
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

// The suite runs confined, with user namespaces left to the devsim runs it
// makes. Where no confinement can be had it fails with one line, unless
// STEADYFLOW_TESTS_UNCONFINED=skip asks to run what needs none and skip the
// rest, counted. Listing the tests loads nothing and needs no confinement.
namespace {

std::string& moduleFile() {
  static std::string path = MODULE_PATH;
  return path;
}

}  // namespace

const std::string& moduleFileUnderTest() { return moduleFile(); }
bool ourModuleUnderTest() { return moduleFile() == MODULE_PATH; }

int main(int argc, char** argv) {
  bool listing = false;
  constexpr char kModuleFile[] = "--module-file=";
  for (int i = 1; i < argc; ++i) {
    listing = listing || strcmp(argv[i], "--gtest_list_tests") == 0;
    if (strncmp(argv[i], kModuleFile, sizeof kModuleFile - 1) == 0) moduleFile() = argv[i] + sizeof kModuleFile - 1;
  }
  const char* unconfined = getenv("STEADYFLOW_TESTS_UNCONFINED");
  const bool skipping = unconfined != nullptr && strcmp(unconfined, "skip") == 0;
  if (!listing) {
    sim::SessionOptions options;
    options.nested = true;
    options.reach = {CHECKOUT, BUILD_FOLDER};  // the test modules, devsim, the lists the tests read
    options.withoutConfinement = skipping;
    sim::Session::start(argc, argv, options);
  }
  testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  if (!listing && !sim::Session::current().confined())
    fprintf(stderr, "steadyflow_tests: no confinement here (%s); %d tests skipped (STEADYFLOW_TESTS_UNCONFINED=skip)\n",
            sim::Session::current().unconfinedReason().c_str(),
            testing::UnitTest::GetInstance()->skipped_test_count());
  return status;
}
