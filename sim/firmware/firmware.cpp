// The simulated firmware's control layer: fills the core's hooks with the
// faults and reported lengths the hosting program asked for, and keeps the
// core's records as the trace.
#include "firmware.h"

#include <map>
#include <set>
#include <stdexcept>
#include <utility>

namespace sim {
namespace {

TraceValue valueOf(const core::Value& v) {
  TraceValue out;
  out.kind = v.kind;
  out.null = v.null;
  out.number = v.number;
  out.offset = v.offset;
  if (v.kind == core::ValueKind::Text && !v.null) out.text = v.text;
  return out;
}

class FirmwareImpl final : public Firmware {
 public:
  FirmwareImpl() { core::setHooks({this, fails, reportedLength, record}); }
  // Blocks and files still live when the program ends are the firmware's to
  // give back, so that a leak checker sees only what the module leaks.
  ~FirmwareImpl() {
    core::setHooks({});
    core::releaseAll();
  }

  void reset(const std::string& disk) override {
    core::reset(disk.c_str());
    trace_.clear();
    faults_.clear();
    lengths_.clear();
  }
  void setChangeDirSuccess(int32_t value) override { core::setChangeDirSuccess(static_cast<dword>(value)); }
  bool setCurrentDir(const std::string& path) override { return core::setCurrentDir(path.c_str()); }
  std::string currentDir() const override { return core::currentDir(); }
  const char* taskDirectory() const override { return core::taskDirectory(); }
  void failCall(const std::string& entry, uint32_t nth) override {
    if (!core::canFail(named(entry))) throw std::invalid_argument("the firmware cannot make " + entry + " fail");
    faults_.insert({entry, nth});
  }
  bool canFail(const std::string& entry) const override { return core::canFail(named(entry)); }
  void reportLength(const std::string& name, uint32_t length) override { lengths_[name] = length; }
  void exitAfterSleeps(uint32_t count, int code) override { core::exitAfterSleeps(count, code); }
  const std::vector<FirmwareCall>& trace() const override { return trace_; }
  void clearTrace() override { trace_.clear(); }
  uint32_t callCount(const std::string& entry) const override { return core::callCount(named(entry)); }
  MemoryStats memory() const override { return core::memory(); }
  uint32_t openFiles() const override { return core::openFiles(); }
  void numberRecordsWith(uint64_t (*next)()) override { next_ = next; }

 private:
  static FirmwareImpl& self(void* context) { return *static_cast<FirmwareImpl*>(context); }

  // The entry called NAME; a name that is none throws.
  static core::Entry named(const std::string& name) {
    core::Entry e;
    if (!core::entryNamed(name.c_str(), &e)) throw std::invalid_argument("the firmware has no entry " + name);
    return e;
  }

  static bool fails(void* context, core::Entry entry, uint32_t nth) {
    const auto& faults = self(context).faults_;
    const std::string name = core::entryName(entry);
    return faults.count({name, nth}) > 0 || faults.count({name, 0}) > 0;
  }
  static bool reportedLength(void* context, const char* name, uint32_t* length) {
    const auto& lengths = self(context).lengths_;
    auto it = lengths.find(name);
    if (it == lengths.end()) return false;
    *length = it->second;
    return true;
  }
  static void record(void* context, const core::Call& call) {
    FirmwareImpl& fw = self(context);
    FirmwareCall out;
    out.sequence = fw.next_ != nullptr ? fw.next_() : ++fw.sequence_;
    out.entry = core::entryName(call.entry);
    for (int i = 0; i < call.argCount; ++i) out.args.push_back(valueOf(call.args[i]));
    if (call.hasResult) out.result = valueOf(call.result);
    out.fault = call.fault;
    fw.trace_.push_back(std::move(out));
  }

  std::vector<FirmwareCall> trace_;
  std::set<std::pair<std::string, uint32_t>> faults_;
  std::map<std::string, uint32_t> lengths_;
  uint64_t (*next_)() = nullptr;  // the hosting program's sequence
  uint64_t sequence_ = 0;         // else its own; the firmware runs on one thread
};

FirmwareImpl& fw() {
  static FirmwareImpl instance;
  return instance;
}

}  // namespace
}  // namespace sim

extern "C" sim::Firmware* simfw_firmware() { return &sim::fw(); }
