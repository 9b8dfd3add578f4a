// Fuzzes directory handling: the current task's directory string set to
// arbitrary bytes (an exact heap copy, so reading past it is caught) or its
// record taken away, arbitrary path bytes to HDD_ChangeDir, and sequences of
// pushes and pops, on firmware with or without the UTF-8 routine (module
// copies 0 and 1). The directory stack's model is a plain std::vector, which
// predicts every answer and every entry; a directory read from the
// firmware's own string comes back exactly when popped. A change answers what
// the firmware's last change answered, and a failed one is tried once more
// with the path or its UTF-8 form.
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "helpers.h"
#include "host.h"
#include "record.h"

namespace fs = std::filesystem;

namespace {

constexpr int kUtf8Copy = 0, kLatin1Copy = 1;
// Folders of the disk; the fuzzer makes the firmware start in one of them.
const char* const kFolders[] = {"/", "/ProgramFiles", "/ProgramFiles/Settings", "/ProgramFiles/Caf\xC3\xA9",
                                "/ProgramFiles/Lat\xE9", "/ProgramFiles/Settings/Steadyflow"};

// What HDD_TAP_GetCurrentDir reads from a directory string: the text after
// the 7-character prefix, or none when the string is shorter than the prefix
// or the rest does not fit 200 bytes.
std::optional<std::string> directoryIn(const char* s) {
  const size_t length = strlen(s);
  if (length < TAP_DIR_PREFIX_LEN || length - TAP_DIR_PREFIX_LEN >= TAP_DIR_LEN) return std::nullopt;
  return std::string(s + TAP_DIR_PREFIX_LEN);
}

// PATH's Latin-1 bytes in UTF-8, by the textbook two-byte rule.
std::string latin1InUtf8(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (c >= 0x80) out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(c < 0x80 ? c : 0x80 | (c & 0x3F));
  }
  return out;
}

class Run {
 public:
  Run(FuzzedDataProvider& in, int copy) : in_(in), copy_(copy), task_(fuzz::currentTask()) {
    record_ = task_.dirRecord;
    liveString_ = record_->directory;
    memset(VAR(copy_, TAPDirStack), 0, sizeof TAPDirStack);
    VAR(copy_, TAPDirStackDepth) = -1;
    fuzz::fw().setCurrentDir(kFolders[in_.ConsumeIntegralInRange<size_t>(0, std::size(kFolders) - 1)]);
  }
  ~Run() {
    task_.dirRecord = record_;
    record_->directory = liveString_;
  }

  // Every input reads the directory once before its steps.
  void start() { currentDir(); }

  void step() {
    switch (in_.ConsumeIntegralInRange(0, 8)) {
      case 0: setString(); break;
      case 1: record_->directory = liveString_; break;
      case 2: task_.dirRecord = in_.ConsumeBool() ? nullptr : record_; break;
      case 3: changeDir(); break;
      case 4: currentDir(); break;
      case 5: push(); break;
      case 6: pop(); break;
      case 7: fuzz::fw().failCall("TAP_Hdd_ChangeDir", fuzz::fw().callCount("TAP_Hdd_ChangeDir") + 1); break;
      default:
        fuzz::fw().setCurrentDir(kFolders[in_.ConsumeIntegralInRange<size_t>(0, std::size(kFolders) - 1)]);
        break;
    }
    checkStack();
  }

 private:
  void setString() {
    const std::string bytes = in_.ConsumeRandomLengthString(400);
    auto copy = std::make_unique<char[]>(bytes.size() + 1);
    memcpy(copy.get(), bytes.c_str(), bytes.size() + 1);
    record_->directory = copy.get();
    strings_.push_back(std::move(copy));
  }

  bool stringIsLive() const { return task_.dirRecord != nullptr && record_->directory == liveString_; }

  // Answers 1 exactly when the firmware's last change answered success; a
  // failed change is tried once more with the path or its Latin-1 form in
  // UTF-8 (the textbook two-byte rule), unless that form does not fit the
  // 256-byte conversion buffer.
  void changeDir() {
    const std::string path = in_.ConsumeRandomLengthString(400);
    const auto exact = std::make_unique<char[]>(path.size() + 1);
    memcpy(exact.get(), path.c_str(), path.size() + 1);
    const size_t before = fuzz::fw().trace().size();
    checkChange(FN(copy_, HDD_ChangeDir)(exact.get()), "HDD_ChangeDir");
    const auto& trace = fuzz::fw().trace();
    std::vector<std::string> tried;
    bool firstFailed = false;
    for (size_t i = before; i < trace.size(); ++i) {
      if (trace[i].entry != "TAP_Hdd_ChangeDir") continue;
      if (tried.empty()) firstFailed = trace[i].resultValue() != 0;
      tried.push_back(trace[i].stringArg());
    }
    const std::string name = exact.get();
    CHECK(!tried.empty() && tried[0] == name, "HDD_ChangeDir did not try its path first");
    const bool fits = 2 * name.size() + 1 <= TAP_UTF8_PATH_LEN;
    CHECK(tried.size() <= (firstFailed ? 2u : 1u) && (!firstFailed || !fits || tried.size() == 2),
          "HDD_ChangeDir made %zu changes", tried.size());
    if (tried.size() == 2)
      CHECK(tried[1] == name || tried[1] == latin1InUtf8(name), "HDD_ChangeDir retried with \"%s\"", tried[1].c_str());
    CHECK(FN(copy_, HDD_ChangeDir)(nullptr) == 0, "HDD_ChangeDir(null) succeeded");
  }

  void checkChange(int32_t result, const char* what) {
    CHECK(result == 0 || result == 1, "%s answered %d", what, result);
    const auto& trace = fuzz::fw().trace();
    auto last = std::find_if(trace.rbegin(), trace.rend(),
                             [](const sim::FirmwareCall& call) { return call.entry == "TAP_Hdd_ChangeDir"; });
    const bool succeeded = last != trace.rend() && last->resultValue() == 0;
    CHECK((result == 1) == succeeded, "%s answered %d after %s", what, result,
          last != trace.rend() ? sim::record::text(*last).c_str() : "");
  }

  // The answer and the buffer as the model predicts them.
  int32_t expectRead(std::array<char, TAP_DIR_LEN>& expected) const {
    if (task_.dirRecord == nullptr) return 0;  // buffer untouched
    const auto dir = directoryIn(record_->directory);
    if (!dir) {
      expected[0] = '\0';
      return -3;
    }
    memcpy(expected.data(), dir->c_str(), dir->size() + 1);
    return 0;
  }

  void currentDir() {
    constexpr size_t kGuard = 32;
    constexpr char kMark = '\x5A';
    std::vector<char> buffer(TAP_DIR_LEN + 2 * kGuard, kMark);
    std::array<char, TAP_DIR_LEN> expected;
    expected.fill(kMark);
    const int32_t want = expectRead(expected);
    const int32_t got = FN(copy_, HDD_TAP_GetCurrentDir)(buffer.data() + kGuard);
    CHECK(got == want, "HDD_TAP_GetCurrentDir answered %d, not %d", got, want);
    for (size_t i = 0; i < kGuard; ++i)
      CHECK(buffer[i] == kMark && buffer[kGuard + TAP_DIR_LEN + i] == kMark,
            "HDD_TAP_GetCurrentDir wrote outside its buffer");
    const std::string got0(buffer.data() + kGuard, strnlen(buffer.data() + kGuard, TAP_DIR_LEN));
    const std::string want0(expected.data(), strnlen(expected.data(), TAP_DIR_LEN));
    CHECK(got0 == want0, "HDD_TAP_GetCurrentDir read \"%s\", not \"%s\"", got0.c_str(), want0.c_str());
    CHECK(FN(copy_, HDD_TAP_GetCurrentDir)(nullptr) == 0, "HDD_TAP_GetCurrentDir(null) failed");
  }

  // A push saves what the directory reads as; a task without a record
  // leaves the slot above the top as it was, and is saved all the same.
  void push() {
    const size_t depth = stack_.size();
    int32_t want = 0;
    std::array<char, TAP_DIR_LEN> slot{};
    if (depth < TAP_DIR_STACK_DEPTH) {
      memcpy(slot.data(), VAR(copy_, TAPDirStack)[depth], TAP_DIR_LEN);
      want = expectRead(slot) == 0 ? 1 : 0;
    }
    CHECK(FN(copy_, HDD_TAP_PushDir)() == want, "HDD_TAP_PushDir at depth %zu did not answer %d", depth, want);
    if (want) stack_.push_back({slot.data(), stringIsLive()});
    // A refused read empties the slot all the same.
    if (depth < TAP_DIR_STACK_DEPTH && !want)
      CHECK(VAR(copy_, TAPDirStack)[depth][0] == '\0', "a refused push left the slot above the top");
  }

  // A pop removes the top entry and changes to it.
  void pop() {
    if (stack_.empty()) {
      CHECK(FN(copy_, HDD_TAP_PopDir)() == 0, "HDD_TAP_PopDir on an empty stack succeeded");
      return;
    }
    const Saved top = stack_.back();
    stack_.pop_back();
    const uint32_t changes = fuzz::fw().callCount("TAP_Hdd_ChangeDir");
    const int32_t result = FN(copy_, HDD_TAP_PopDir)();
    checkChange(result, "HDD_TAP_PopDir");
    // A directory the firmware reported is entered again, unless a change
    // was made to fail.
    if (top.restorable && !faultSince(changes))
      CHECK(result == 1 && fuzz::fw().currentDir() == top.path, "popping \"%s\" led to \"%s\"", top.path.c_str(),
            fuzz::fw().currentDir().c_str());
  }

  bool faultSince(uint32_t changes) const {
    const auto& trace = fuzz::fw().trace();
    const uint32_t calls = fuzz::fw().callCount("TAP_Hdd_ChangeDir") - changes;
    uint32_t seen = 0;
    for (auto it = trace.rbegin(); it != trace.rend() && seen < calls; ++it) {
      if (it->entry != "TAP_Hdd_ChangeDir") continue;
      ++seen;
      if (it->fault) return true;
    }
    return false;
  }

  void checkStack() {
    const auto depth = static_cast<int32_t>(stack_.size()) - 1;
    CHECK(VAR(copy_, TAPDirStackDepth) == depth, "depth %d, not %d", VAR(copy_, TAPDirStackDepth), depth);
    for (size_t i = 0; i < stack_.size(); ++i) {
      const char* entry = VAR(copy_, TAPDirStack)[i];
      CHECK(memchr(entry, '\0', TAP_DIR_LEN) != nullptr, "stack entry %zu has no terminator", i);
      CHECK(stack_[i].path == entry, "stack entry %zu is \"%s\", not \"%s\"", i, entry, stack_[i].path.c_str());
    }
  }

  struct Saved {
    std::string path;
    bool restorable;  // read from the firmware's own directory string
  };

  FuzzedDataProvider& in_;
  const int copy_;
  TapTaskEntry& task_;
  TapDirRecord* record_;
  const char* liveString_;
  std::vector<std::unique_ptr<char[]>> strings_;
  std::vector<Saved> stack_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::boot(*argc, *argv);
  for (const char* folder : kFolders) fs::create_directories(fuzz::hostPath(folder));
  // Copy 0 finds the UTF-8 routine once and keeps it; copy 1 never sees it.
  if (FN(kUtf8Copy, isUTFFirmware)() != 1) fuzz::fail("copy 0 found no UTF-8 routine");
  sim::Session::current().unloadData(sim::FirmwareData::Utf8Routine);
  // Each copy learns what a successful change answers here, from a firmware
  // that works; faults injected later do not reach that first change.
  for (int copy : {kUtf8Copy, kLatin1Copy})
    if (FN(copy, HDD_ChangeDir)("/") != 1) fuzz::fail("copy %d cannot change to /", copy);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::resetFirmware();
  FuzzedDataProvider in(data, size);
  Run run(in, in.ConsumeBool() ? kLatin1Copy : kUtf8Copy);
  run.start();
  for (int steps = 0; steps < 48 && in.remaining_bytes() > 0; ++steps) run.step();
  return 0;
}
