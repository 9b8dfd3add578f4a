// A hosting program's session with the simulated device: the one place that
// owns the run's room (layout.h), the confinement (confine.h), the simulated
// firmware and its data, and the loaded copies of the module. devsim, the
// test suite, the fuzz programs and the benchmarks all start one:
//
//   int main(int argc, char** argv) {
//     sim::Session& session = sim::Session::start(argc, argv, {});
//     session.boot({});                        // firmware on the sandbox disk
//     int32_t main = session.module().exported<int32_t()>("TAP_Main")();
//
// Failures of the session itself (a sandbox that cannot be laid out, a
// firmware library that does not load) end the program with one line.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "confine.h"
#include "firmware.h"
#include "fwdata.h"
#include "module.h"

namespace sim {

// Where a hosting program finds what it loads, each relative to the folder
// of its own file: the firmware libraries, the build's module, and the
// links its loader finds the device's libc and libdl names by. Each program
// carries its own (steadyflow_host_program generates it).
struct Places {
  const char* libraries;
  const char* module;
  const char* compat;
};
extern const Places kPlaces;

struct SessionOptions {
  // Folders the program writes (its own output), bound into its run.
  std::vector<std::string> writable;
  // False: the module's commands are recorded and never run.
  bool shell = true;
  // Further files and folders the program reads (a module, a device image).
  std::vector<std::string> reach;
  // The program runs programs that confine themselves (the test suite runs
  // devsim): user namespaces stay allowed inside.
  bool nested = false;
  // Seconds the confined run may take; 0 for no limit.
  unsigned timeout = 0;
  // Writable private memory the confined program may hold; 0: the
  // confinement's default (run_limits.h).
  uint64_t dataBytes = 0;
  // Where no confinement can be had, carry on without one, loading no
  // module (confined() is false): for a test suite whose other tests can
  // still run. Otherwise the program ends with one line.
  bool withoutConfinement = false;
};

// Firmware data the module looks up by name; each is a library loaded into
// the global scope only while a scenario wants it.
enum class FirmwareData { TaskTable, Utf8Routine };

struct FirmwareSetup {
  std::string disk;            // host folder standing for the disk; empty: the sandbox's
  int32_t chdirSuccess = 0;    // what TAP_Hdd_ChangeDir answers on success
  std::string startDir = "/";  // the module's current directory at start
  bool taskTable = true;       // firmware exports "_tapTask" and "_curTapTask"
  bool utf8Routine = true;     // firmware exports its UTF-8 routine
};

class Session {
 public:
  // Starts the session. Unless this process is the confined run it asked
  // for, it runs this program again (ARGV) inside a confinement (confine.h)
  // and exits with that run's status (a run ended by a signal or its time
  // limit gets one line first). Where no confinement can be set up it ends
  // the program with one line, unless OPTIONS asks to carry on without;
  // confined() and unconfinedReason() tell.
  static Session& start(int argc, char** argv, const SessionOptions& options);
  // The confinement's request for running this program again (ARGV) as
  // OPTIONS say: what start() runs, for a program that runs its confined
  // part itself (devsim, with its channels).
  static confine::Request request(int argc, char** argv, const SessionOptions& options);
  // The started session.
  static Session& current();
  // The build's own module, beside this program.
  static std::string buildModule();

  bool confined() const { return confined_; }
  const std::string& unconfinedReason() const { return reason_; }
  // The run's room (layout.h): disk/ and tmp/.
  const std::string& root() const { return root_; }

  // --- the room ---------------------------------------------------------------
  std::string disk() const { return disk_; }
  std::string hostPath(const std::string& diskPath) const { return disk_ + diskPath; }
  std::string scratch() const;
  std::string terminalPath(int number) const;
  std::string kernelSettingPath() const;
  // Leaves exactly these terminals, each empty.
  void resetTerminals(const std::vector<int>& numbers);
  void clearKernelSetting();
  // Empties the disk, leaving only "/ProgramFiles".
  void resetDisk();
  // Empties the room's tmp/, the program's own scratch files.
  void clearScratch();
  // Whether the module's system runs a real shell from now on, or only
  // records the command and answers -1, as on a device without one.
  void runShell(bool run);
  // The argument vector that runs PROGRAM, a program of this build: the
  // emulator first on the device build.
  static std::vector<std::string> programCommand(const std::string& program);

  // --- the firmware ------------------------------------------------------------
  // Starts the firmware afresh on the disk, with the data SETUP asks for,
  // and forgets the module's recorded calls.
  void boot(const FirmwareSetup& setup);
  // Starts the firmware afresh as SETUP says, leaving its data as it is: what
  // the device does when it starts again.
  void resetFirmware(const FirmwareSetup& setup);
  Firmware& firmware();
  void loadData(FirmwareData which);
  void unloadData(FirmwareData which);
  // Where the process exports NAME (firmware data or API), asked through a
  // handle on the process: a lookup in the default scope would tie a firmware
  // data library to the caller beyond its scenario.
  void* firmwareExport(const char* name);
  // The firmware's task table and current-task index, reached the way the
  // module reaches them; both null while no task data is loaded.
  struct TaskData {
    TapTaskEntry* table = nullptr;
    int32_t* index = nullptr;
  };
  TaskData taskData();

  // --- the module --------------------------------------------------------------
  // The module file copies are made of (the build's own by default).
  void useModule(const std::string& path);
  const std::string& modulePath() const { return module_; }
  // Copy COPY of the module (0 is the file itself; others are copies of it
  // in the sandbox, each with globals of its own), loaded on first use.
  Module& module(int copy = 0);
  // Unloads every copy, so the next starts with fresh globals.
  void unloadModules();

 private:
  Session() = default;
  [[noreturn]] void fail(const std::string& line) const;
  void require(bool ok, const std::string& error) const;

  std::string program_;
  std::string root_;
  std::string disk_;
  bool confined_ = false;
  std::string reason_;
  std::string module_;
  std::map<FirmwareData, void*> data_;
  std::map<int, std::unique_ptr<Module>> copies_;
};

// The started session's firmware.
inline Firmware& firmware() { return Session::current().firmware(); }

}  // namespace sim
