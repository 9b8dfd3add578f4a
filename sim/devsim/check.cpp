#include "check.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Steadyflow.h"
#include "confined.h"
#include "fail.h"
#include "helpers.h"
#include "identity.h"
#include "module.h"
#include "record.h"
#include "records.h"
#include "report.h"
#include "session.h"
#include "settings.h"

namespace devsim {
namespace {

using sim::record::quoted;

using sim::sandbox::FileBytes;

// How much of a line the check quotes, and of a value it asks about.
constexpr size_t kQuotedChars = 120;

// The module's exports the check calls.
struct Store {
  decltype(INILocateFile)* locate;
  decltype(INIOpenFile)* open;
  decltype(INIGetInt)* getInt;
  decltype(INIFindStartEnd)* findStartEnd;
  decltype(stricstr)* search;
  decltype(INICloseFile)* close;
  char** buffer;
};

// The module's exports the check calls; a module (at PATH) without one cannot
// be asked.
Store storeOf(sim::Module& module, const std::string& path) {
  try {
    return {&module.exported<decltype(INILocateFile)>("INILocateFile"),
            &module.exported<decltype(INIOpenFile)>("INIOpenFile"),
            &module.exported<decltype(INIGetInt)>("INIGetInt"),
            &module.exported<decltype(INIFindStartEnd)>("INIFindStartEnd"),
            &module.exported<decltype(stricstr)>("stricstr"),
            &module.exported<decltype(INICloseFile)>("INICloseFile"),
            &module.exported<char*>("INIBuffer")};
  } catch (const std::runtime_error& missing) {
    fail(path + ": " + missing.what() + "; it cannot be asked");
  }
}

// What the module answers about its settings file.
struct Reading {
  std::string file;                  // disk path of the file its search finds; empty: none
  INILOCATION opened{};              // INIOpenFile's answer
  std::string text;                  // the text it then holds, up to its zero byte
  std::optional<size_t> start;       // INIFindStartEnd's entry, as offsets into the text
  std::optional<size_t> end;         //   its last character (start + key length - 1: empty value)
  std::optional<size_t> occurrence;  // stricstr's first find of the key and "=", commented or not
  std::optional<size_t> bareKey;     // stricstr's first find of the key alone
  std::optional<size_t> afterZero;   // stricstr's first find of the key and "=" after the file's zero byte
  uint32_t examined = 0;             // value characters INIGetInt examines (examinedChars); 0: all
  int32_t applied = 0;               // INIGetInt with the entry's default and limits
  std::optional<int32_t> number;     // INIGetInt without limits; none when it answers the default
  std::optional<size_t> refused;     // where INIGetInt's check first turns the value down (firstRefused)
};

std::optional<size_t> offsetIn(const char* text, const char* at) {
  if (at == nullptr) return std::nullopt;
  return static_cast<size_t>(at - text);
}

// The key and "=", as the store searches them.
std::string patternOf(const SettingsEntry& e) { return e.key + "="; }

// The module's first find of the key and "=" in the file's bytes after its
// first zero byte, where its text ends; an offset into BYTES.
std::optional<size_t> findAfterZero(const Store& store, const SettingsEntry& e, const std::string& bytes) {
  for (size_t zero = bytes.find('\0'); zero != std::string::npos; zero = bytes.find('\0', zero + 1)) {
    const char* rest = bytes.c_str() + zero + 1;
    if (const char* at = store.search(rest, patternOf(e).c_str())) return static_cast<size_t>(at - bytes.c_str());
  }
  return std::nullopt;
}

struct Line {
  size_t begin, end;  // [begin, end): the line's characters without its line end
};

// The line around AT in TEXT; where TEXT is the file's bytes, a zero byte
// ends a line too.
Line lineAround(const std::string& text, size_t at) {
  const std::string ends("\r\n\0", 3);
  const size_t before = at == 0 ? std::string::npos : text.find_last_of(ends, at - 1);
  const size_t end = text.find_first_of(ends, at);
  return {before == std::string::npos ? 0 : before + 1, end == std::string::npos ? text.size() : end};
}

// What the module's INIGetInt reads for the key in TEXT, as if it were the
// open text: the number, or none where it answers the default. The module's
// buffer points at TEXT for the question and back again; the read allocates
// nothing and writes nothing.
std::optional<int32_t> readsAs(const Store& store, const SettingsEntry& e, char* text) {
  char* const open = *store.buffer;
  *store.buffer = text;
  const char* key = e.key.c_str();
  const int32_t a = store.getInt(key, 0, INT32_MIN, INT32_MAX), b = store.getInt(key, 1, INT32_MIN, INT32_MAX);
  *store.buffer = open;
  if (a != b) return std::nullopt;
  return a;
}

// How many characters of a value the module's INIGetInt examines, asked of
// it: digits and then a letter read as a number once the letter lies past
// what it examines. 0 where that is more than kQuotedChars.
uint32_t examinedChars(const Store& store, const SettingsEntry& e) {
  for (size_t digits = 0; digits <= kQuotedChars; ++digits) {
    std::string entry = patternOf(e) + std::string(digits, '0') + "x\r\n";
    if (readsAs(store, e, entry.data())) return static_cast<uint32_t>(digits);
  }
  return 0;
}

// Where the module's check first turns down the value at VALUE..LAST of
// TEXT, its entry's line starting at LINE, asked of the module: the first
// character that, with digits in place of those after it, still makes it
// answer the default. None where no one character does (an empty value, a
// lone "-"). The text from the entry's line to its first CR and first LF
// after the value stands for the whole: the module finds the entry first in
// it, as it did, and the same line ends after it.
std::optional<size_t> firstRefused(const Store& store, const SettingsEntry& e, const std::string& text, size_t line,
                                   size_t value, size_t last) {
  size_t stop = last + 1;
  for (const char lineEnd : {'\r', '\n'})
    if (const size_t at = text.find(lineEnd, value); at != std::string::npos) stop = std::max(stop, at + 1);
  std::string window = text.substr(line, stop - line);
  const size_t begin = value - line, end = std::min(last + 1, value + kQuotedChars) - line;
  if (end <= begin) return std::nullopt;
  std::fill(window.begin() + begin, window.begin() + (last + 1 - line), '0');
  for (size_t at = begin; at < end; ++at) {
    window[at] = text[line + at];
    if (!readsAs(store, e, window.data())) return line + at;
  }
  return std::nullopt;
}

// The file named NAME the start-up run's search finds from START_DIR, as a
// disk path; empty when there is none. The search stays in the folder of the
// file, so the start folder is made current again.
std::string findFile(const Store& store, const std::string& name, const std::string& startDir) {
  sim::Firmware& fw = sim::firmware();
  std::string file;
  if (store.locate(name.c_str(), nullptr) != INILOCATION_NotFound) file = fw.currentDir() + "/" + name;
  fw.setCurrentDir(startDir);
  return file;
}

// The start-up run's read of FILE (its bytes FILE_BYTES), opened from the
// current folder as the module opens it: the load, the read with the entry's
// default and limits and the same read without them, and where the module's
// searches find the key.
Reading readFile(const Store& store, const SettingsEntry& e, const std::string& file, const std::string& fileBytes) {
  Reading r;
  r.file = file;
  r.applied = e.fallback;
  r.opened = store.open(file.substr(file.rfind('/') + 1).c_str(), nullptr);
  if (r.opened >= INILOCATION_AtCurrentDir && *store.buffer != nullptr) {
    const char* text = *store.buffer;
    const std::string pattern = patternOf(e);
    r.text = text;
    char* start = nullptr;
    char* end = nullptr;
    r.examined = examinedChars(store, e);
    store.findStartEnd(pattern.c_str(), &start, &end, r.examined == 0 ? UINT32_MAX : pattern.size() + r.examined);
    r.start = offsetIn(text, start);
    r.end = offsetIn(text, end);
    r.occurrence = offsetIn(text, store.search(text, pattern.c_str()));
    r.bareKey = offsetIn(text, store.search(text, e.key.c_str()));
    r.afterZero = findAfterZero(store, e, fileBytes);
    r.applied = store.getInt(e.key.c_str(), e.fallback, e.lowest, e.highest);
    r.number = readsAs(store, e, *store.buffer);
    if (!r.number && r.start && r.end) {
      const size_t value = *r.start + pattern.size();
      r.refused = firstRefused(store, e, r.text, lineAround(r.text, *r.start).begin, value, *r.end);
    }
  }
  store.close();
  return r;
}

// --- the reason, from the bytes around the entry -----------------------------

std::string quoted(const std::string& text, size_t begin, size_t end) {
  const size_t length = end - begin;
  return quoted(text.substr(begin, std::min(length, kQuotedChars))) + (length > kQuotedChars ? "..." : "");
}

std::string quotedLine(const std::string& text, size_t at) {
  const Line line = lineAround(text, at);
  return quoted(text, line.begin, line.end);
}

bool wordChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : "; ") + part;
  return out;
}

// Why the module turns down VALUE: the character at REFUSED (an index into
// VALUE) that its check turns it down at (firstRefused), said by what it is
// and where it stands.
std::string valueProblem(const std::string& value, std::optional<size_t> refused) {
  if (value.empty()) return "the value is empty";
  if (!refused) return "the value " + quoted(value) + " is not a number";
  const size_t i = *refused;
  const char c = value[i];
  if (c == ' ' || c == '\t') {
    if (i == 0) return "a blank after \"=\" is not a number";
    if (value.find_first_not_of(" \t", i) == std::string::npos) return "a trailing blank is not a number";
    return "a blank inside the value is not a number";
  }
  if (c == '+') return "a plus sign is not a number";
  if (c == '-')
    return value.size() == 1 ? "a lone \"-\" is not a number" : "a \"-\" after the first character is not a number";
  if (c == '\r') return "a CR without LF inside the line is not a number";
  if (isalpha(static_cast<unsigned char>(c))) return "the letter " + quoted(std::string(1, c)) + " is not a number";
  return "the byte " + quoted(std::string(1, c)) + " is not a number";
}

// Why the text holds no entry the module reads.
std::string whyNoEntry(const Reading& r, const SettingsEntry& e, const std::string& fileBytes) {
  if (r.occurrence)
    return quotedLine(r.text, *r.occurrence) + ": the " + quoted(std::string(1, r.text[*r.occurrence - 1])) +
           " right before the key comments the entry out";
  if (r.afterZero)
    return "the text ends at the zero byte at offset " + std::to_string(fileBytes.find('\0')) + "; " +
           quotedLine(fileBytes, *r.afterZero) + " after it is not read";
  if (r.bareKey)
    return quotedLine(r.text, *r.bareKey) + ": the key is not followed directly by \"=\", so it is no entry";
  return "no " + e.key + " entry";
}

// What the lines around the entry tell beside its value: the longer key it
// was found in, a comment sign that does not comment it out, a line end the
// module added, a value longer than it examines.
std::vector<std::string> entryNotes(const Reading& r, const SettingsEntry& e, const Line& line,
                                    const std::string& fileBytes) {
  std::vector<std::string> notes;
  const std::string prefix = r.text.substr(line.begin, *r.start - line.begin);
  if (!prefix.empty() && wordChar(prefix.back())) {
    size_t word = prefix.size();
    while (word > 0 && wordChar(prefix[word - 1])) --word;
    notes.push_back("the module finds the key inside the longer key " +
                    quoted(r.text, line.begin + word, *r.start + e.key.size()));
  } else if (const size_t sign = prefix.find_first_of("#;"); sign != std::string::npos) {
    notes.push_back("the " + quoted(prefix.substr(sign, 1)) +
                    " does not comment it out: only a \"#\" or \";\" right before the key does");
  }
  const size_t zero = fileBytes.find('\0');
  if (zero != std::string::npos && line.end >= zero)
    notes.push_back("the text ends at the zero byte at offset " + std::to_string(zero));
  else if (zero == std::string::npos && line.end >= fileBytes.size())
    notes.push_back("the last line has no line end; the module adds CR LF as it loads the file");
  if (*r.end + 1 < line.end)
    notes.push_back("only the first " + std::to_string(r.examined) + " characters of the value are examined");
  return notes;
}

std::string explain(const Reading& r, const SettingsEntry& e, const std::string& fileBytes) {
  const std::string applied = "; " + std::to_string(r.applied) + " will be applied";
  const std::string theDefault = "; the default " + std::to_string(r.applied) + " will be applied";
  if (!r.start) return whyNoEntry(r, e, fileBytes) + theDefault;
  const Line line = lineAround(r.text, *r.start);
  if (!r.end) return quoted(r.text, line.begin, line.end) + ": no line end follows the entry" + theDefault;
  const std::string entry = quoted(r.text, line.begin, std::max(line.end, *r.end + 1));
  const std::vector<std::string> notes = entryNotes(r, e, line, fileBytes);
  const size_t value = *r.start + e.key.size() + 1;
  const std::string valueText = *r.end + 1 > value ? r.text.substr(value, *r.end + 1 - value) : "";
  if (!r.number) {
    const std::optional<size_t> refused = r.refused ? std::optional(*r.refused - value) : std::nullopt;
    return entry + ": " + join(notes) + (notes.empty() ? "" : "; ") + valueProblem(valueText, refused) + theDefault;
  }

  const int32_t n = *r.number;
  const std::string range = n > e.highest  ? "above " + std::to_string(e.highest)
                            : n < e.lowest ? "below " + std::to_string(e.lowest)
                                           : "";
  const bool readsOtherwise = valueText != std::to_string(n);
  std::string said = readsOtherwise  ? "reads as " + std::to_string(n) + (range.empty() ? "" : ", " + range)
                     : range.empty() ? ""
                                     : "is " + range;
  if (notes.empty()) {
    if (said.empty()) return e.key + "=" + std::to_string(n) + " will be applied";
    return entry + " " + said + applied;
  }
  if (!said.empty()) said = "; " + (readsOtherwise ? std::string("it") : std::to_string(n)) + " " + said;
  return entry + ": " + join(notes) + said + applied;
}

// --- the disk -------------------------------------------------------------------

bool isFolder(const std::string& hostPath) {
  struct stat st;
  return lstat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string folderOf(const std::string& diskPath) {
  const size_t slash = diskPath.rfind('/');
  return slash == 0 ? "/" : diskPath.substr(0, slash);
}

// Where the start-up run's read begins: the module folder, which the run
// makes first where it is missing. Where it is missing here, the deepest
// folder on its way stands in: that search finds the same file. A file
// named by its disk path is read in its own folder.
std::string startFolder(const sim::Session& session, const SettingsEntry& e) {
  const std::string own = folderOf(e.files[0]);
  if (!e.searched) return isFolder(session.hostPath(own)) ? own : "/ProgramFiles";
  for (const std::string& folder : {own, std::string("/ProgramFiles/Settings")})
    if (isFolder(session.hostPath(folder))) return folder;
  return "/ProgramFiles";
}

// FILE as the module's settings file at DISK_PATH on the fresh sandbox disk.
void placeFile(const sim::Session& session, const std::string& diskPath, const FileBytes& file) {
  std::error_code failed;
  std::filesystem::create_directories(session.hostPath(folderOf(diskPath)), failed);
  const std::string path = session.hostPath(diskPath);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << file.bytes;
  if (failed || !out.flush()) fail(path + ": cannot put the file on the sandbox disk");
}

// The second line: files on the disk the module's search passes over.
void reportPassedOver(const SettingsEntry& e, const SettingsFiles& files, const std::string& taken) {
  std::string passed;
  for (size_t i = 0; i < e.files.size(); ++i)
    if (files[i] && e.files[i] != taken) passed += (passed.empty() ? "" : ", ") + e.files[i];
  if (passed.empty()) return;
  confined::line("check", "not read: " + passed + " (the module takes the file in its own folder, else the one in " +
                              "/ProgramFiles/Settings, else the one in /ProgramFiles)");
}

// The line for a disk without the file.
std::string noFile(const SettingsEntry& e) {
  const std::string value = std::to_string(e.fallback);
  if (e.own)
    return "no settings file on the disk: the module will create " + e.files[0] + " holding \"" + e.key + "=" + value +
           "\\r\\n\"; " + value + " will be applied";
  return e.files[0] + ": no such file on the disk; reading " + e.key + ", the module gets its default " + value;
}

}  // namespace

SettingsEntry settingsEntry(const Options& o, const std::string& module, const sim::Identity& identity) {
  using namespace steadyflow;
  const std::pair<bool, const char*> given[] = {{!o.diskFile.empty(), "--file"},
                                                {!o.key.empty(), "--key"},
                                                {o.fallback.has_value(), "--default"},
                                                {o.lowest.has_value(), "--min"},
                                                {o.highest.has_value(), "--max"}};
  std::vector<std::string> lacking;
  for (const auto& [is, option] : given)
    if (!is) lacking.push_back(option);
  if (!isOurModule(identity) && !lacking.empty()) {
    std::string missing;
    for (size_t i = 0; i < lacking.size(); ++i)
      missing += (i == 0 ? "" : i + 1 == lacking.size() ? " and " : ", ") + lacking[i];
    fail(module + ": " + notOurs(identity) + "; devsim check speaks for it when told " + missing, 2);
  }
  SettingsEntry e;
  e.own = lacking.size() == std::size(given);
  e.searched = o.diskFile.empty();
  e.files = o.diskFile.empty() ? std::vector<std::string>(std::begin(kSettingsFiles), std::end(kSettingsFiles))
                               : std::vector<std::string>{o.diskFile};
  e.key = o.key.empty() ? kKey : o.key;
  e.fallback = o.fallback.value_or(kDefault);
  e.lowest = o.lowest.value_or(kLowest);
  e.highest = o.highest.value_or(kHighest);
  if (e.lowest > e.highest)
    fail("the lowest value " + std::to_string(e.lowest) + " is above the highest " + std::to_string(e.highest), 2);
  return e;
}

int check(const Options& o, int argc, char** argv) {
  const bool named = !o.settingsFile.empty();
  sim::SessionOptions options;
  options.shell = false;
  sim::Session& session = sim::Session::start(argc, argv, options);
  const std::string module = o.module.empty() ? session.modulePath() : o.module;
  session.useModule(confined::takeInput(session, module));
  const sim::Identity identity =
      moduleIdentity(session.modulePath(), sim::Machine::ThisOne, "devsim check asks a module built for this machine");
  const SettingsEntry e = settingsEntry(o, module, identity);

  // The outside hands in the disk, FILE on it; a check started by another
  // confinement reads FILE itself.
  if (named && !confined::channelled()) placeFile(session, e.files[0], namedSettingsFile(o.settingsFile));
  const SettingsFiles files = settingsFiles(session.disk(), e.files, 0);  // refuses links, FIFOs, devices first
  const std::string startDir = startFolder(session, e);
  session.boot({"", 0, startDir, true, true});
  const Store store = storeOf(session.module(), module);
  const std::string name = e.files[0].substr(e.files[0].rfind('/') + 1);
  const std::string file = e.searched ? findFile(store, name, startDir) : files[0] ? e.files[0] : "";
  if (file.empty()) {
    confined::line("check", noFile(e));
  } else {
    const std::string fileBytes = settingsFile(session.disk(), file, kLongestSettings).value_or(FileBytes{}).bytes;
    const Reading r = readFile(store, e, file, fileBytes);
    const std::string shown = named ? o.settingsFile : r.file;
    if (r.opened == INILOCATION_NewFile)
      confined::line("check", noFile(e));
    else if (r.opened == INILOCATION_NotFound)
      fail(shown + ": the module finds it but cannot read it; it would apply the default " +
           std::to_string(e.fallback));
    else
      confined::line("check", shown + ": " + explain(r, e, fileBytes));
  }
  if (!named && e.searched) reportPassedOver(e, files, file);
  if (confined::channelled()) writeEnd(confined::records(), Outcome{});
  return 0;
}

}  // namespace devsim
