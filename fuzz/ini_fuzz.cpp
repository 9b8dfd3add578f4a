// Fuzzes the INI text store. An arbitrary text is opened, either as a
// firmware block set as the open text or as a file the store loads, then a
// sequence of reads, searches and sets runs with arbitrary keys and values.
// Every answer is compared with a reference written from the store's rules
// (the key search by the C library's strcasestr, the number by its strtoul),
// and holds properties that need no reference: a found entry holds the key
// and no comment mark before it; a set keeps every byte outside the entry the
// module's own search finds; a number set is read back. After every step the
// text ends inside its block and only the store's blocks are live;
// INICloseFile leaves nothing live.
#include <errno.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "file.h"
#include "helpers.h"
#include "host.h"
#include "record.h"
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

// --- the references -------------------------------------------------------
// Written from the store's definition, not from its code: the key search is
// the C library's, the number the C library's strtoul cut to 32 bits.

// The C library's strcasestr folds exactly the ASCII letters in the C locale,
// which this program never leaves; an empty text to find finds nothing.
size_t caseSearch(const std::string& text, const std::string& find, size_t from) {
  if (find.empty() || from > text.size()) return kNone;
  const char* found = strcasestr(text.c_str() + from, find.c_str());
  return found ? static_cast<size_t>(found - text.c_str()) : kNone;
}

// An entry's span as INIFindStartEnd delivers it; END may be START - 1.
struct Span {
  size_t start = kNone;
  std::optional<long> end;
};

// The key's entry: the first occurrence of PATTERN that no '#' or ';' stands
// directly before (at the text's first character the occurrence's own first
// character is taken), up to its line end, at most LIMIT characters unless
// the first CR is a lone one with an LF after it.
Span entryOf(const std::string& text, const std::string& pattern, uint32_t limit) {
  Span span;
  for (size_t from = 0;; from = span.start + 1) {
    span.start = caseSearch(text, pattern, from);
    if (span.start == kNone) return span;
    const char before = text[span.start == 0 ? 0 : span.start - 1];
    if (before != '#' && before != ';') break;
  }
  const size_t cr = text.find('\r', span.start), lf = text.find('\n', span.start);
  if (cr == kNone && lf == kNone) return span;
  const bool pair = cr != kNone && lf == cr + 1;
  const bool loneCrThenLf = cr != kNone && lf != kNone && !pair;
  const long lineEnd = static_cast<long>(lf == kNone || pair ? cr : lf);
  const long start = static_cast<long>(span.start);
  span.end = loneCrThenLf ? lineEnd - 1 : std::min(lineEnd - 1, start + static_cast<long>(limit) - 1);
  return span;
}

std::string patternOf(const std::string& key) { return key.substr(0, 78) + "="; }

// What a 32-bit strtoul makes of P in base 10: a magnitude beyond 32 bits
// gives all ones whatever the sign, a '-' negates modulo 2^32. The C
// library's strtoul (64 bits here) reads the digits; its negation modulo
// 2^64 has the same low 32 bits.
uint32_t strtoul32(const char* p) {
  errno = 0;
  const unsigned long value = strtoul(p, nullptr, 10);
  const unsigned long magnitude = *p == '-' ? 0 - value : value;
  return errno == ERANGE || magnitude > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// INIGetInt: the entry's value, at most 11 characters of it looked at, must
// be a plain decimal number (digits, one '-' before them allowed); it is then
// converted from its first character on and held within LO..HI, HI winning.
int32_t getInt(const std::string& text, const std::string& key, int32_t def, int32_t lo, int32_t hi) {
  const std::string pattern = patternOf(key);
  const Span span = entryOf(text, pattern, static_cast<uint32_t>(pattern.size() + 11));
  if (span.start == kNone || !span.end) return def;
  const size_t from = span.start + pattern.size();
  if (*span.end + 1 < static_cast<long>(from)) return def;
  const std::string value = text.substr(from, static_cast<size_t>(*span.end + 1) - from);
  const size_t digitsFrom = value.size() > 1 && value[0] == '-' ? 1 : 0;
  if (value.empty() || value.find_first_not_of("0123456789", digitsFrom) != kNone) return def;
  return std::min(std::max(static_cast<int32_t>(strtoul32(text.c_str() + from)), lo), hi);
}

// The open text as the model holds it.
struct Text {
  std::string text;
  uint32_t capacity;
};

// The text after setting KEY to VALUE where the key's entry is SPAN: every
// byte outside the entry kept, the entry the caller's pattern and the value
// (appended with CR LF when there is none); none when the set is refused for
// needing more than one 1 KiB growth step. ALLOCATES tells whether it needs a
// new block.
std::optional<Text> setString(const Text& open, const Span& span, const std::string& key, const std::string& value,
                              bool& allocates) {
  const std::string pattern = patternOf(key);
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

// Whether a read of KEY must give back what a set just stored: its pattern
// holds no line end and starts with no comment mark, and the set replaced an
// entry or appended to a text that is empty or ends in a line end.
bool readsBack(const std::string& key, const Text& before, bool replaced) {
  const std::string pattern = patternOf(key);
  const bool ended = before.text.empty() || before.text.back() == '\r' || before.text.back() == '\n';
  return pattern.find_first_of("\r\n") == kNone && pattern[0] != '#' && pattern[0] != ';' && (replaced || ended);
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

std::optional<std::string> diskFile(const char* diskPath) { return sim::readFile(fuzz::hostPath(diskPath)); }

void writeDiskFile(const char* diskPath, const std::string& bytes) {
  std::ofstream(fuzz::hostPath(diskPath), std::ios::binary | std::ios::trunc) << bytes;
}

// --- the run ------------------------------------------------------------------

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
    auto alloc = *static_cast<decltype(TAP_MemAlloc)*>(sim::Session::current().firmwareExport("TAP_MemAlloc"));
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
      CHECK(where == INILOCATION_NotFound && VAR(kCopy, INIBuffer) == nullptr, "open without memory answered %u",
            where);
      text_.reset();
      return;
    }
    CHECK(where == expected, "INIOpenFile answered %u, not %u", where, expected);
    text_ = model;
    CHECK(fuzz::fw().currentDir() == "/", "INIOpenFile left the directory %s", fuzz::fw().currentDir().c_str());
  }

  void read() {
    const std::string key = in_.ConsumeRandomLengthString(100);
    const auto def = in_.ConsumeIntegral<int32_t>(), lo = in_.ConsumeIntegral<int32_t>(),
               hi = in_.ConsumeIntegral<int32_t>();
    const int32_t got = FN(kCopy, INIGetInt)(key.c_str(), def, lo, hi);
    const int32_t want = text_ ? getInt(text_->text, key.c_str(), def, lo, hi) : def;
    CHECK(got == want, "INIGetInt(\"%s\") gave %d, not %d", sim::record::escaped(key).c_str(), got, want);
    CHECK(got == def || (lo <= hi ? got >= lo && got <= hi : got == hi), "INIGetInt gave %d outside %d..%d", got, lo,
          hi);
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
    const Span want = entryOf(text_->text, pattern.c_str(), maxLength);
    CHECK(want.start == kNone ? start == nullptr : start == base + want.start, "INIFindStartEnd start differs");
    if (want.start == kNone) return;
    CHECK(want.end ? end == base + *want.end : end == nullptr, "INIFindStartEnd end differs for \"%s\"",
          sim::record::escaped(pattern).c_str());
    // Whatever the reference says: the start holds the pattern, no comment
    // mark before it, and the span lies on one line.
    const std::string found(pattern.c_str());
    CHECK(strncasecmp(start, found.c_str(), found.size()) == 0, "INIFindStartEnd start holds no \"%s\"",
          sim::record::escaped(found).c_str());
    const char before = start == base ? start[0] : start[-1];
    CHECK(before != '#' && before != ';', "INIFindStartEnd found a commented entry");
    CHECK(end == nullptr || end < start || memchr(start, '\n', static_cast<size_t>(end + 1 - start)) == nullptr,
          "INIFindStartEnd's span crosses a line feed");
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
    const size_t want = caseSearch(text, find.c_str(), 0);
    CHECK(want == kNone ? got == nullptr : got == text + want, "stricstr(\"%s\", \"%s\") differs",
          sim::record::escaped(text).c_str(), sim::record::escaped(find).c_str());
    CHECK(FN(kCopy, stricstr)(nullptr, find.c_str()) == nullptr && FN(kCopy, stricstr)(text, nullptr) == nullptr,
          "stricstr of null found something");
  }

  void set(const std::string& keyBytes, const std::string& valueBytes, bool asInt = false) {
    const std::string key = keyBytes.c_str(), value = valueBytes.c_str();
    const int32_t number = asInt ? static_cast<int32_t>(std::stol(value)) : 0;
    const Span span = text_ ? moduleEntry(patternOf(key)) : Span();
    const uint32_t allocations = fuzz::fw().callCount("TAP_MemAlloc");
    if (asInt)
      FN(kCopy, INISetInt)(key.c_str(), number);
    else
      FN(kCopy, INISetString)(key.c_str(), value.c_str());
    if (!text_) {
      CHECK(VAR(kCopy, INIBuffer) == nullptr, "a set with no text open made one");
      return;
    }
    const Span reference = entryOf(text_->text, patternOf(key), text_->capacity);
    CHECK(span.start == reference.start && span.end == reference.end, "the entry of \"%s\" differs",
          sim::record::escaped(key).c_str());
    // The text the set must leave, from the entry the module's own search
    // finds: every byte outside it kept.
    const Text before = *text_;
    bool allocates = false;
    auto after = setString(before, span, key, value, allocates);
    if (after && allocates && allocationFaulted(allocations)) after.reset();
    if (after) text_ = after;
    CHECK(VAR(kCopy, BufferSize) == text_->capacity, "set(\"%s\") left capacity %u, not %u",
          sim::record::escaped(key).c_str(), VAR(kCopy, BufferSize), text_->capacity);
    CHECK(std::string(VAR(kCopy, INIBuffer)) == text_->text, "set(\"%s\", \"%s\") made another text",
          sim::record::escaped(key).c_str(), sim::record::escaped(value).c_str());
    if (after && asInt && readsBack(key, before, span.start != kNone && span.end)) {
      const auto other = static_cast<int32_t>(static_cast<uint32_t>(number) + 1);
      const int32_t got = FN(kCopy, INIGetInt)(key.c_str(), other, INT32_MIN, INT32_MAX);
      CHECK(got == number, "INIGetInt(\"%s\") after setting %d gave %d", sim::record::escaped(key).c_str(), number,
            got);
    }
  }

  // The key's entry as the module's INIFindStartEnd finds it for a set.
  Span moduleEntry(const std::string& pattern) {
    char* start = nullptr;
    char* end = nullptr;
    FN(kCopy, INIFindStartEnd)(pattern.c_str(), &start, &end, VAR(kCopy, BufferSize));
    Span span;
    if (start != nullptr) span.start = static_cast<size_t>(start - VAR(kCopy, INIBuffer));
    if (start != nullptr && end != nullptr) span.end = end - VAR(kCopy, INIBuffer);
    return span;
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
    auto alloc = *static_cast<decltype(TAP_MemAlloc)*>(sim::Session::current().firmwareExport("TAP_MemAlloc"));
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
