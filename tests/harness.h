// The fixture every test uses: the sandbox of the suite's session made fresh
// (a disk holding "/ProgramFiles", the pseudo-terminals asked for, an empty
// kernel setting), the simulated firmware reset onto it, the firmware data
// asked for, and a fresh copy of the module. The suite runs confined
// (confinement.h), so the module's terminal writes and shell command reach
// only the sandbox; where no confinement can be had, tests that load the
// module are skipped. Tests reach the module only through its exports:
//   MODULE_FN(INIGetInt)("MinimumKBFree", 10000, 100, 50000)
//   MODULE_VAR(TAPDirStackDepth)
// The module's calls into the dynamic linker since boot are in
// sim::linker::calls() and trace() (linker.h).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "fault_sweep.h"
#include "firmware.h"
#include "linker.h"
#include "record.h"
#include "session.h"

struct DeviceConfig : sim::FirmwareSetup {
  std::vector<int> terminals = {0};
};

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { boot(config()); }
  void TearDown() override;
  // The configuration SetUp boots with; fixtures override it.
  virtual DeviceConfig config() const { return {}; }
  // Starts again: fresh sandbox, firmware, firmware data and module.
  void boot(const DeviceConfig& config);
  // Starts a fresh copy of the module on the same disk, as the device does
  // when it starts again; the firmware's trace and accounting start afresh.
  void restart();
  // Loads firmware data in the middle of a scenario.
  void loadFirmwareData(sim::FirmwareData which) { session().loadData(which); }
  // From now on the module's `system` records its command and fails without
  // running a shell, as on a device without one.
  void failShell();

  sim::Session& session() const { return sim::Session::current(); }
  sim::Firmware& fw() { return sim::firmware(); }
  // The module's export NAME as T (a function or a variable's type); MODULE_FN
  // and MODULE_VAR below name it by its declaration.
  template <class T>
  T& moduleExport(const char* name) const {
    return session().module().exported<T>(name);
  }

  // The disk, by disk paths such as "/ProgramFiles/Settings".
  std::string hostPath(const std::string& diskPath) const;
  void makeDir(const std::string& diskPath) const;
  void writeFile(const std::string& diskPath, const std::string& bytes) const;
  std::optional<std::string> readFile(const std::string& diskPath) const;
  bool exists(const std::string& diskPath) const;

  // Sandbox devices.
  std::string terminal(int number) const;  // bytes written to /dev/pts/N
  void addTerminal(int number) const;
  std::string kernelSetting() const;
  // The commands the module handed to system, as it wrote them.
  std::vector<std::string> commands() const;

  // Firmware calls of ENTRY in the trace, in order (sim::lines renders them);
  // a name that is no entry of the firmware throws, as Firmware's own do.
  std::vector<sim::FirmwareCall> calls(const std::string& entry) const;
  // What the module's work leaves: no file open, stack empty, LIVE_BLOCKS live, no bad free.
  void expectTidy(uint32_t liveBlocks = 0);

  // Runs SWEEP once for every firmware call it makes that can fail (fault_sweep.h).
  SweepCounts sweepFaults(const FaultSweep& sweep);

  // The run's room (layout.h: disk/, tmp/).
  const std::string& sandbox() const { return session().root(); }

 private:
  void loadModule();
  DeviceConfig booted_;
};

// Where the process exports NAME (firmware data or API).
inline void* firmwareExport(const char* name) { return sim::Session::current().firmwareExport(name); }
// A block from the firmware's own allocator, as the module would get it.
void* firmwareAlloc(uint32_t size);

// A NUL-terminated string whose terminator is the last byte before an
// unreadable page, so reading past it faults.
class EdgeString {
 public:
  explicit EdgeString(const std::string& text);
  ~EdgeString();
  EdgeString(const EdgeString&) = delete;
  EdgeString& operator=(const EdgeString&) = delete;
  const char* c_str() const { return text_; }

 private:
  size_t page_;
  char* base_;
  char* text_;
};

// The host file PATH made to hold BYTES; a write that fails throws, so that
// a test never goes on with files other than the ones it laid out.
void writeHostFile(const std::string& path, const std::string& bytes);

// Runs a program (its argument vector, no shell between; in the folder
// FOLDER when given) and keeps its exit status and output.
struct CommandResult {
  int status = -1;
  std::string out, err;
};
CommandResult runProgram(const std::vector<std::string>& argv, const std::string& folder = "");
// A fresh folder for a test's own files, inside the sandbox.
std::string temporaryFolder();
// The module file the structure tests read: this build's, or the one
// --module-file=PATH names (a module another build made with the kit).
const std::string& moduleFileUnderTest();
bool ourModuleUnderTest();

#define MODULE_FN(name) (moduleExport<decltype(name)>(#name))
#define MODULE_VAR(name) (moduleExport<std::remove_reference_t<decltype(name)>>(#name))
