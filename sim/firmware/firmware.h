// Control interface of the simulated firmware (libtap.so).
//
// The library exports the firmware API entries the module calls (api.cpp,
// over the routines in core.h), and this interface for the programs that host
// the module (devsim, the tests, the fuzzers, the bench): they choose the
// disk, configure the firmware's behaviour, inject faults and read back what
// the module did. Obtain it through simfw_firmware().
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "core.h"
#include "trace.h"

namespace sim {

class Firmware {
 public:
  // Starts afresh on a disk: DISK is a host folder standing for the disk's
  // root. Clears trace, faults, accounting and open files; the current
  // directory becomes "/", the change-directory success value 0.
  virtual void reset(const std::string& disk) = 0;

  // What TAP_Hdd_ChangeDir answers on success; failure answers another value.
  virtual void setChangeDirSuccess(int32_t value) = 0;
  // Sets the current directory directly (disk path), as the firmware would
  // before starting a module. Answers false if it is no folder of the disk.
  virtual bool setCurrentDir(const std::string& path) = 0;
  virtual std::string currentDir() const = 0;
  // The task's directory string: a 7-character prefix, then the current
  // directory. The address stays the same for the life of the library.
  virtual const char* taskDirectory() const = 0;

  // Entries are named as the trace names them, from the firmware's own list
  // (core.h). A name that is none of them, a misspelling, throws
  // std::invalid_argument at once, so that a fault never misses silently and
  // a count never reads 0 for a call that was made.

  // Makes the NTH call (1-based, counted since reset) of ENTRY fail; NTH 0
  // makes every call fail. What failing means depends on the entry (core.h);
  // ENTRY must be one that can fail (canFail), else it throws too.
  virtual void failCall(const std::string& entry, uint32_t nth) = 0;
  // Whether failCall can make ENTRY fail.
  virtual bool canFail(const std::string& entry) const = 0;
  // Makes TAP_Hdd_Flen report LENGTH for the file NAME (any folder).
  virtual void reportLength(const std::string& name, uint32_t length) = 0;
  // After COUNT calls of TAP_Sleep the process exits with CODE, so that a
  // routine that sleeps forever can be run in a child process.
  virtual void exitAfterSleeps(uint32_t count, int code) = 0;

  // Every firmware call since reset or clearTrace, in order (trace.h renders
  // them as text).
  virtual const std::vector<FirmwareCall>& trace() const = 0;
  virtual void clearTrace() = 0;
  // Calls of ENTRY since reset (clearTrace leaves the counts).
  virtual uint32_t callCount(const std::string& entry) const = 0;
  virtual MemoryStats memory() const = 0;
  virtual uint32_t openFiles() const = 0;

  // Stamps every record from now on with NEXT(), the hosting program's one
  // sequence of the module's calls, so that all its records merge into one
  // order.
  virtual void numberRecordsWith(uint64_t (*next)()) = 0;

 protected:
  ~Firmware() = default;
};

}  // namespace sim

extern "C" sim::Firmware* simfw_firmware();
