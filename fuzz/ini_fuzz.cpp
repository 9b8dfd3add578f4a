// Fuzzes the INI text store. An arbitrary text is opened, either as a
// firmware block set as the open text or as a file the store loads, then a
// sequence of reads, searches and sets runs with arbitrary keys and values.
// Every answer and every text is compared with a plain model of the store;
// after every step the text ends inside its block and only the store's blocks
// are live; INICloseFile leaves nothing live.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "helpers.h"
#include "host.h"
#include "tap.h"

namespace fs = std::filesystem;

namespace {

constexpr int kCopy = 0;
constexpr char kFile[] = "Fuzz.ini";
constexpr char kApp[] = "Fuzz";
constexpr size_t kNone = std::string::npos;

// Where the store looks for kFile from "/" with kApp, and where INISaveFile
// puts it for each location code.
constexpr const char* kAtCurrentDir = "/Fuzz.ini";
constexpr const char* kAtAppName = "/ProgramFiles/Settings/Fuzz/Fuzz.ini";
constexpr const char* kAtSettings = "/ProgramFiles/Settings/Fuzz.ini";
constexpr const char* kAtProgramFiles = "/ProgramFiles/Fuzz.ini";

// --- the model ----------------------------------------------------------------

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool digit(char c) { return c >= '0' && c <= '9'; }

size_t findIgnoringCase(const std::string& text, const std::string& find, size_t from) {
  if (find.empty()) return kNone;
  for (size_t i = from; i + find.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < find.size() && lower(text[i + k]) == lower(find[k])) ++k;
    if (k == find.size()) return i;
  }
  return kNone;
}

// An entry's span as INIFindStartEnd delivers it; END may be START - 1.
struct Span {
  size_t start = kNone;
  std::optional<long> end;
};

Span findEntry(const std::string& text, const std::string& pattern, uint32_t maxLength) {
  Span span;
  for (size_t from = 0;;) {
    span.start = findIgnoringCase(text, pattern, from);
    if (span.start == kNone) return span;
    const char before = span.start == 0 ? text[0] : text[span.start - 1];
    if (before != '#' && before != ';') break;
    from = span.start + 1;
  }
  const size_t cr = text.find('\r', span.start), lf = text.find('\n', span.start);
  long last;
  bool capped = true;
  if (cr == kNone && lf == kNone) return span;
  if (cr == kNone) {
    last = static_cast<long>(lf) - 1;
  } else if (lf == kNone || lf == cr + 1) {
    last = static_cast<long>(cr) - 1;
  } else {
    last = static_cast<long>(lf) - 1;
    capped = false;
  }
  const long start = static_cast<long>(span.start);
  if (capped && last >= start && last - start >= static_cast<long>(maxLength)) last = start + maxLength - 1;
  span.end = last;
  return span;
}

std::string patternOf(const std::string& key) { return key.substr(0, 78) + "="; }

uint32_t decimal(const char* p) {
  const bool negative = *p == '-';
  if (negative) ++p;
  uint64_t magnitude = 0;
  for (; digit(*p); ++p) {
    magnitude = magnitude * 10 + static_cast<uint32_t>(*p - '0');
    if (magnitude > UINT32_MAX) return UINT32_MAX;
  }
  return negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
}

int32_t getInt(const std::string& text, const std::string& key, int32_t def, int32_t lo, int32_t hi) {
  const std::string pattern = patternOf(key);
  const long n = static_cast<long>(pattern.size());
  const Span span = findEntry(text, pattern, static_cast<uint32_t>(n + 11));
  if (span.start == kNone || !span.end) return def;
  const long value = static_cast<long>(span.start) + n;
  if (*span.end < value) return def;
  for (long p = value; p <= *span.end; ++p) {
    const bool leadingMinus = p == value && text[p] == '-' && p < *span.end;
    if (!leadingMinus && !digit(text[p])) return def;
  }
  int32_t result = static_cast<int32_t>(decimal(text.c_str() + value));
  if (result < lo) result = lo;
  if (result > hi) result = hi;
  return result;
}

// The open text as the model holds it.
struct Text {
  std::string text;
  uint32_t capacity;
};

// The text after setting KEY to VALUE, or none when the set is refused for
// needing more than one 1 KiB growth step. ALLOCATES tells whether it needs
// a new block.
std::optional<Text> setString(const Text& open, const std::string& key, const std::string& value, bool& allocates) {
  const std::string pattern = patternOf(key);
  const Span span = findEntry(open.text, pattern, open.capacity);
  std::string text;
  uint64_t needed;
  if (span.start != kNone && span.end) {
    text = open.text.substr(0, span.start) + pattern + value + open.text.substr(static_cast<size_t>(*span.end + 1));
    needed = text.size() + 2;  // a replace reserves one byte more than the text needs
    allocates = true;
  } else {
    text = open.text + pattern + value + "\r\n";
    needed = text.size() + 1;
  }
  uint32_t capacity = open.capacity;
  if (needed > capacity) {
    const uint64_t grown = (static_cast<uint64_t>(capacity >> 10) + 1) << 10;
    if (needed > grown || grown > UINT32_MAX) return std::nullopt;
    capacity = static_cast<uint32_t>(grown);
    allocates = true;
  }
  return Text{text, capacity};
}

// What the store makes of a file's bytes.
Text loaded(const std::string& bytes) {
  std::string text(bytes.c_str());
  if (text.empty())
    text = "\r\n";
  else if (text.back() != '\r' && text.back() != '\n')
    text += "\r\n";
  return {text, static_cast<uint32_t>(((bytes.size() >> 9) + 2) << 9)};
}

std::optional<std::string> diskFile(const char* diskPath) {
  std::ifstream in(fuzz::hostPath(diskPath), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeDiskFile(const char* diskPath, const std::string& bytes) {
  std::ofstream(fuzz::hostPath(diskPath), std::ios::binary | std::ios::trunc) << bytes;
}

// --- the run ------------------------------------------------------------------

std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char hex[8];
    snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
    out += hex;
  }
  return out;
}

class Run {
 public:
  explicit Run(FuzzedDataProvider& in) : in_(in) {}

  void open() {
    switch (in_.ConsumeIntegralInRange(0, 2)) {
      case 0: openInMemory(); break;
      case 1: openFromFile(); break;
      default: reopen(); break;  // no file anywhere: a new, empty text
    }
  }

  void step() {
    switch (in_.ConsumeIntegralInRange(0, 9)) {
      case 0: read(); break;
      case 1: find(); break;
      case 2: search(); break;
      case 3: {
        const std::string key = in_.ConsumeRandomLengthString(100);
        set(key, in_.ConsumeRandomLengthString(1200));
        break;
      }
      case 4: {
        const std::string key = in_.ConsumeRandomLengthString(100);
        set(key, std::to_string(in_.ConsumeIntegral<int32_t>()), true);
        break;
      }
      case 5: armAllocationFault(); break;
      case 6: allocateCommentBuffer(); break;
      case 7: save(); break;
      case 8: reopen(); break;
      default: FN(kCopy, INICloseFile)(); text_.reset(); comment_ = false; break;
    }
    checkState();
  }

  void close() {
    FN(kCopy, INICloseFile)();
    CHECK(VAR(kCopy, INIBuffer) == nullptr && VAR(kCopy, BufferSize) == 0, "INICloseFile left a text");
    CHECK(VAR(kCopy, INICommentBuffer) == nullptr, "INICloseFile left the comment buffer");
    FN(kCopy, INICloseFile)();
    const sim::MemoryStats memory = fuzz::fw().memory();
    CHECK(memory.liveBlocks == 0, "%u heap blocks live after INICloseFile", memory.liveBlocks);
    CHECK(memory.badFrees == 0, "%u frees of no live block", memory.badFrees);
    CHECK(fuzz::fw().openFiles() == 0, "a file handle left open");
  }

 private:
  void openInMemory() {
    const std::string bytes = in_.ConsumeRandomLengthString(3000);
    const uint32_t slack = in_.ConsumeIntegralInRange<uint32_t>(0, 1100);
    const uint8_t fill = in_.ConsumeIntegral<uint8_t>();
    const uint32_t size = static_cast<uint32_t>(bytes.size()) + 1 + slack;
    auto alloc = *reinterpret_cast<decltype(TAP_MemAlloc)*>(dlsym(RTLD_DEFAULT, "TAP_MemAlloc"));
    char* block = static_cast<char*>(alloc(size));
    CHECK(block != nullptr, "no block for the text");
    memcpy(block, bytes.data(), bytes.size());
    block[bytes.size()] = '\0';
    memset(block + bytes.size() + 1, fill, slack);  // behind the text: never looked at
    VAR(kCopy, INIBuffer) = block;
    VAR(kCopy, BufferSize) = size;
    text_ = Text{std::string(block), size};
  }

  void openFromFile() {
    const char* const places[] = {kAtCurrentDir, kAtProgramFiles, kAtSettings, kAtAppName};
    writeDiskFile(places[in_.ConsumeIntegralInRange(0, 3)], in_.ConsumeRandomLengthString(3000));
    reopen();
  }

  // INIOpenFile from "/": the first place holding the file wins, except that
  // the app folder beats the settings folder, which beats "/ProgramFiles".
  void reopen() {
    struct Place {
      const char* path;
      INILOCATION code;
    };
    const Place order[] = {{kAtCurrentDir, INILOCATION_AtCurrentDir},
                           {kAtAppName, INILOCATION_AtAppName},
                           {kAtSettings, INILOCATION_AtSettings},
                           {kAtProgramFiles, INILOCATION_AtProgramFiles}};
    INILOCATION expected = INILOCATION_NewFile;
    Text model{"", 512};
    for (const Place& place : order) {
      if (auto bytes = diskFile(place.path)) {
        expected = place.code;
        model = loaded(*bytes);
        break;
      }
    }
    const uint32_t allocations = fuzz::fw().callCount("TAP_MemAlloc");
    const INILOCATION where = FN(kCopy, INIOpenFile)(kFile, kApp);
    comment_ = false;
    if (allocationFaulted(allocations)) {
      CHECK(where == INILOCATION_NotFound && VAR(kCopy, INIBuffer) == nullptr, "open without memory answered %u", where);
      text_.reset();
      return;
    }
    CHECK(where == expected, "INIOpenFile answered %u, not %u", where, expected);
    text_ = model;
    CHECK(fuzz::fw().currentDir() == "/", "INIOpenFile left the directory %s", fuzz::fw().currentDir().c_str());
  }

  void read() {
    const std::string key = in_.ConsumeRandomLengthString(100);
    const auto def = in_.ConsumeIntegral<int32_t>(), lo = in_.ConsumeIntegral<int32_t>(), hi = in_.ConsumeIntegral<int32_t>();
    const int32_t got = FN(kCopy, INIGetInt)(key.c_str(), def, lo, hi);
    const int32_t want = text_ ? getInt(text_->text, key.c_str(), def, lo, hi) : def;
    CHECK(got == want, "INIGetInt(\"%s\") gave %d, not %d", printable(key).c_str(), got, want);
    CHECK(got == def || (lo <= hi ? got >= lo && got <= hi : got == hi), "INIGetInt gave %d outside %d..%d", got, lo, hi);
  }

  void find() {
    const std::string pattern = in_.ConsumeRandomLengthString(100);
    const uint32_t maxLength = in_.ConsumeIntegralInRange<uint32_t>(0, 5000);
    char* marker = reinterpret_cast<char*>(&in_);  // any address the call cannot produce
    char* start = marker;
    char* end = marker;
    FN(kCopy, INIFindStartEnd)(pattern.c_str(), &start, &end, maxLength);
    FN(kCopy, INIFindStartEnd)(pattern.c_str(), nullptr, nullptr, maxLength);  // no place for the answer: nothing
    if (maxLength == 0) {
      CHECK(start == marker && end == marker, "INIFindStartEnd with no room touched its answers");
      return;
    }
    if (!text_) {
      CHECK(start == nullptr, "INIFindStartEnd found something with no text open");
      return;
    }
    const char* base = VAR(kCopy, INIBuffer);
    const Span want = findEntry(text_->text, pattern.c_str(), maxLength);
    CHECK(want.start == kNone ? start == nullptr : start == base + want.start, "INIFindStartEnd start differs");
    if (want.start == kNone) return;
    CHECK(want.end ? end == base + *want.end : end == nullptr, "INIFindStartEnd end differs for \"%s\"",
          printable(pattern).c_str());
  }

  void search() {
    const std::string find = in_.ConsumeRandomLengthString(40);
    const bool inText = text_ && in_.ConsumeBool();
    const std::string own = inText ? std::string() : in_.ConsumeRandomLengthString(500);
    // An exact copy, so reading past its terminator is caught.
    std::unique_ptr<char[]> copy(new char[own.size() + 1]);
    memcpy(copy.get(), own.c_str(), own.size() + 1);
    const char* text = inText ? VAR(kCopy, INIBuffer) : copy.get();
    const char* got = FN(kCopy, stricstr)(text, find.c_str());
    const size_t want = findIgnoringCase(text, find.c_str(), 0);
    CHECK(want == kNone ? got == nullptr : got == text + want, "stricstr(\"%s\", \"%s\") differs", printable(text).c_str(),
          printable(find).c_str());
    CHECK(FN(kCopy, stricstr)(nullptr, find.c_str()) == nullptr && FN(kCopy, stricstr)(text, nullptr) == nullptr,
          "stricstr of null found something");
  }

  void set(const std::string& keyBytes, const std::string& valueBytes, bool asInt = false) {
    const std::string key = keyBytes.c_str(), value = valueBytes.c_str();
    const uint32_t allocations = fuzz::fw().callCount("TAP_MemAlloc");
    if (asInt)
      FN(kCopy, INISetInt)(key.c_str(), static_cast<int32_t>(std::stol(value)));
    else
      FN(kCopy, INISetString)(key.c_str(), value.c_str());
    if (!text_) {
      CHECK(VAR(kCopy, INIBuffer) == nullptr, "a set with no text open made one");
      return;
    }
    bool allocates = false;
    auto after = setString(*text_, key, value, allocates);
    if (after && allocates && allocationFaulted(allocations)) after.reset();
    if (after) text_ = after;
    CHECK(VAR(kCopy, BufferSize) == text_->capacity, "set(\"%s\") left capacity %u, not %u", printable(key).c_str(),
          VAR(kCopy, BufferSize), text_->capacity);
    CHECK(std::string(VAR(kCopy, INIBuffer)) == text_->text, "set(\"%s\", \"%s\") made another text",
          printable(key).c_str(), printable(value).c_str());
  }

  void armAllocationFault() {
    fuzz::fw().failCall("TAP_MemAlloc", fuzz::fw().callCount("TAP_MemAlloc") + 1);
    faultArmed_ = fuzz::fw().callCount("TAP_MemAlloc") + 1;
  }
  // Whether the armed fault hit an allocation made since ALLOCATIONS calls.
  bool allocationFaulted(uint32_t allocations) const {
    return faultArmed_ > allocations && fuzz::fw().callCount("TAP_MemAlloc") >= faultArmed_;
  }

  void allocateCommentBuffer() {
    if (comment_) return;
    auto alloc = *reinterpret_cast<decltype(TAP_MemAlloc)*>(dlsym(RTLD_DEFAULT, "TAP_MemAlloc"));
    VAR(kCopy, INICommentBuffer) = static_cast<char*>(alloc(in_.ConsumeIntegralInRange<uint32_t>(1, 600)));
    comment_ = VAR(kCopy, INICommentBuffer) != nullptr;
  }

  // Saves to the place a location code names, and checks the file's bytes.
  void save() {
    const auto mode = static_cast<INILOCATION>(in_.ConsumeIntegralInRange(0, 6));
    const int32_t saved = FN(kCopy, INISaveFile)(kFile, mode, kApp);
    CHECK(fuzz::fw().currentDir() == "/", "INISaveFile left the directory %s", fuzz::fw().currentDir().c_str());
    if (!text_ || mode > INILOCATION_AtProgramFiles) {
      CHECK(saved == 0, "INISaveFile saved with mode %u or no text", mode);
      return;
    }
    const char* place = mode == INILOCATION_AtCurrentDir ? kAtCurrentDir
                        : mode == INILOCATION_AtAppName  ? kAtAppName
                        : mode == INILOCATION_AtSettings ? kAtSettings
                                                         : kAtProgramFiles;
    CHECK(saved == 1, "INISaveFile with mode %u failed", mode);
    CHECK(diskFile(place) == text_->text, "the file saved at %s differs from the text", place);
  }

  void checkState() {
    const char* buffer = VAR(kCopy, INIBuffer);
    const uint32_t size = VAR(kCopy, BufferSize);
    CHECK(VAR(kCopy, TAPDirStackDepth) == -1, "directory stack depth %d", VAR(kCopy, TAPDirStackDepth));
    if (text_) {
      CHECK(buffer != nullptr, "the text is gone");
      CHECK(memchr(buffer, '\0', size) != nullptr, "the text does not end inside its %u bytes", size);
      CHECK(std::string(buffer) == text_->text, "the text differs from the model");
    } else {
      CHECK(buffer == nullptr, "a text appeared");
    }
    const sim::MemoryStats memory = fuzz::fw().memory();
    const uint32_t expected = (text_ ? 1 : 0) + (comment_ ? 1 : 0);
    CHECK(memory.liveBlocks == expected, "%u heap blocks live, not %u", memory.liveBlocks, expected);
    CHECK(memory.badFrees == 0, "%u frees of no live block", memory.badFrees);
    CHECK(fuzz::fw().openFiles() == 0, "a file handle left open");
  }

  FuzzedDataProvider& in_;
  std::optional<Text> text_;
  bool comment_ = false;
  uint32_t faultArmed_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::boot(*argc, *argv);
  fs::create_directories(fuzz::hostPath("/ProgramFiles/Settings/Fuzz"));
  fuzz::module(kCopy);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const char* place : {kAtCurrentDir, kAtAppName, kAtSettings, kAtProgramFiles})
    fs::remove(fuzz::hostPath(place));
  fuzz::resetFirmware();
  FuzzedDataProvider in(data, size);
  Run run(in);
  run.open();
  for (int steps = 0; steps < 32 && in.remaining_bytes() > 0; ++steps) run.step();
  run.close();
  return 0;
}
