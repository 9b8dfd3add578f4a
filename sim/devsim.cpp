// devsim: runs a module file once in the simulated device.
//
//   devsim run MODULE [options]
//
// Checks and prints the module's identity header, hands it its entry record,
// calls its main entry and delivers events, then reports what the device
// would show: the terminal line, the command and the kernel setting it wrote,
// and the module's settings files. The module runs confined (confinement.h)
// on the sandbox folder, with the real libc and a real shell.
//
// Exit status: 0 the run completed; 1 bad input (one line says why); 2 a
// wrong command line; 3 the run completed but the kernel setting was not
// written (the shell failed, or no command was run).
#include <stdio.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "device.h"
#include "linker.h"
#include "platform.h"
#include "sandbox.h"
#include "session.h"
#include "tapheader.h"
#include "trace.h"

namespace {

constexpr char kUsage[] =
    "usage: devsim run MODULE [options]\n"
    "  --sandbox DIR        sandbox folder: disk/, dev/pts/, proc/sys/vm/, tmp/ (default ./devsim-sandbox)\n"
    "  --disk DIR           folder standing for the device's disk (default SANDBOX/disk)\n"
    "  --start-dir PATH     the module's current directory at start (default /ProgramFiles)\n"
    "  --terminals LIST     pseudo-terminals present, e.g. 0,3 or none (default 0)\n"
    "  --chdir-success N    what TAP_Hdd_ChangeDir answers on success (default 0)\n"
    "  --no-utf8            firmware without its UTF-8 routine\n"
    "  --no-task-data       firmware without task table and current-task index\n"
    "  --event CODE:P1:P2   deliver this event after the main entry (default 1:7:0; repeatable)\n"
    "  --no-shell           record the module's command, run no shell (where no confinement can be had)\n"
    "  --trace              list the module's firmware, dynamic-linker, open and system calls in order\n";

// Where the module looks for its settings file, module folder first.
const char* const kSettingsFiles[] = {
    "/ProgramFiles/Settings/Steadyflow/Steadyflow.ini",
    "/ProgramFiles/Settings/Steadyflow.ini",
    "/ProgramFiles/Steadyflow.ini",
};
// How much of a file the report shows, and how much it compares to tell
// whether the run changed it.
constexpr size_t kShownBytes = 256;
constexpr size_t kComparedBytes = 1 << 16;
// A settings file beyond this is refused before the run: the module reads
// its file whole into memory.
constexpr uint64_t kLongestSettings = 16u << 20;

struct Event {
  uint32_t code, param1, param2;
};

struct Options {
  std::string module;
  std::string sandbox = "devsim-sandbox";
  std::string disk;
  std::string startDir = "/ProgramFiles";
  std::vector<int> terminals = {0};
  int32_t chdirSuccess = 0;
  bool utf8 = true;
  bool taskData = true;
  bool trace = false;
  bool shell = true;
  std::vector<Event> events;
};

[[noreturn]] void fail(const std::string& line, int status = 1) {
  fprintf(stderr, "devsim: %s\n", line.c_str());
  exit(status);
}

bool parseNumber(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = strtoll(text.c_str(), &end, 0);
  return *end == '\0';
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

Options parse(int argc, char** argv) {
  Options o;
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    fputs(kUsage, argc < 2 ? stderr : stdout);
    exit(argc < 2 ? 2 : 0);
  }
  if (std::string(argv[1]) != "run") fail("unknown command '" + std::string(argv[1]) + "' (try: devsim run MODULE)", 2);
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) fail(std::string(argv[i]) + " needs a value", 2);
    return argv[++i];
  };
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    long long n = 0;
    if (arg == "--sandbox") {
      o.sandbox = value(i);
    } else if (arg == "--disk") {
      o.disk = value(i);
    } else if (arg == "--start-dir") {
      o.startDir = value(i);
    } else if (arg == "--terminals") {
      const std::string list = value(i);
      o.terminals.clear();
      for (const std::string& t : list == "none" ? std::vector<std::string>{} : split(list, ',')) {
        if (!parseNumber(t, n) || n < 0 || n > 99) fail("--terminals takes numbers 0 to 99 or 'none', not '" + list + "'", 2);
        o.terminals.push_back(static_cast<int>(n));
      }
    } else if (arg == "--chdir-success") {
      const std::string v = value(i);
      if (!parseNumber(v, n)) fail("--chdir-success takes a number, not '" + v + "'", 2);
      o.chdirSuccess = static_cast<int32_t>(n);
    } else if (arg == "--no-utf8") {
      o.utf8 = false;
    } else if (arg == "--no-task-data") {
      o.taskData = false;
    } else if (arg == "--trace") {
      o.trace = true;
    } else if (arg == "--no-shell") {
      o.shell = false;
    } else if (arg == "--event") {
      const std::string v = value(i);
      const auto parts = split(v, ':');
      long long e[3];
      if (parts.size() != 3 || !parseNumber(parts[0], e[0]) || !parseNumber(parts[1], e[1]) || !parseNumber(parts[2], e[2]))
        fail("--event takes CODE:P1:P2, not '" + v + "'", 2);
      o.events.push_back({static_cast<uint32_t>(e[0]), static_cast<uint32_t>(e[1]), static_cast<uint32_t>(e[2])});
    } else if (!arg.empty() && arg[0] == '-') {
      fail("unknown option " + arg, 2);
    } else if (o.module.empty()) {
      o.module = arg;
    } else {
      fail("one module at a time (got '" + o.module + "' and '" + arg + "')", 2);
    }
  }
  if (o.module.empty()) fail("no module file given (devsim run MODULE)", 2);
  if (o.sandbox.empty()) fail("--sandbox needs a folder, not an empty path", 2);
  if (o.events.empty()) o.events.push_back({1, 7, 0});
  return o;
}

std::string shown(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char hex[8];
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\0') out += "\\0";
    else if (c == '"' || c == '\\') out += std::string("\\") + static_cast<char>(c);
    else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else out += (snprintf(hex, sizeof hex, "\\x%02X", c), hex);
  }
  return "\"" + out + "\"";
}

void report(const char* what, const std::string& text) { printf("%-10s %s\n", what, text.c_str()); }

// A file as the report shows it: its first bytes, escaped, and its length
// when they are not all of it.
std::string shownFile(const sim::sandbox::FileBytes& file) {
  const std::string head = file.bytes.substr(0, kShownBytes);
  if (head.size() == file.size) return shown(head);
  return shown(head) + "... (" + std::to_string(file.size) + " bytes, the first " + std::to_string(head.size()) +
         " shown)";
}

// A settings file on the disk as it stands: none when missing; a file the
// module cannot use as settings (a link, a FIFO, a device, one too long to
// load) is refused with one line.
std::optional<sim::sandbox::FileBytes> settingsFile(const sim::Session& session, const char* diskPath) {
  std::string error;
  auto file = sim::sandbox::readRegular(session.disk(), diskPath + 1, kComparedBytes, error);
  if (!error.empty()) fail(std::string(diskPath) + " on the disk: " + error);
  if (file && file->size > kLongestSettings)
    fail(std::string(diskPath) + " on the disk holds " + std::to_string(file->size) + " bytes; settings files of more than " +
         std::to_string(kLongestSettings) + " bytes are refused");
  return file;
}

std::vector<std::optional<sim::sandbox::FileBytes>> settingsFiles(const sim::Session& session) {
  std::vector<std::optional<sim::sandbox::FileBytes>> files;
  for (const char* file : kSettingsFiles) files.push_back(settingsFile(session, file));
  return files;
}

void reportIdentity(const std::string& module, const sim::Identity& identity) {
  char id[16];
  snprintf(id, sizeof id, "0x%08X", identity.id);
  char value[16];
  snprintf(value, sizeof value, "0x%X", identity.headerValue);
  report("module", module);
  report("name", identity.name);
  report("version", identity.version);
  report("id", id);
  report("date", identity.date);
  report("header", std::string(TAP_HEADER_MAGIC " ") + value +
                       (identity.headerValue == TAP_HEADER_VALUE ? ", ok" : ", unexpected value"));
}

using InitEntry = int32_t(TapEntryRecord*);

// Hands the module its entry record, calls its main entry and delivers the
// events.
void runEntries(const Options& o, InitEntry* init) {
  TapEntryRecord entries = {nullptr, nullptr};
  const int32_t initResult = init(&entries);
  if (entries.main == nullptr || entries.event == nullptr)
    fail("__TAP_Init_ returned " + std::to_string(initResult) + " but left an entry slot empty");
  report("init", "__TAP_Init_ returned " + std::to_string(initResult) + "; main and event slots filled");
  const int32_t mainResult = entries.main();
  report("main", "TAP_Main returned " + std::to_string(mainResult));
  if (!sim::firmware().printed().empty()) report("printed", shown(sim::firmware().printed()));
  for (const Event& e : o.events) {
    char call[96];
    snprintf(call, sizeof call, "TAP_EventHandler(0x%X, %u, %u) returned %u", e.code, e.param1, e.param2,
             entries.event(e.code, e.param1, e.param2));
    report("event", call);
  }
}

void reportTerminals(const Options& o, const sim::Session& session) {
  bool any = false;
  for (int t : o.terminals) {
    std::string error;
    const auto bytes = sim::sandbox::readRegular(session.root(), "dev/pts/" + std::to_string(t), kShownBytes, error);
    if (!bytes || bytes->size == 0) continue;
    report("terminal", "/dev/pts/" + std::to_string(t) + " received " + std::to_string(bytes->size) + " bytes: " +
                           shownFile(*bytes));
    any = true;
  }
  if (!any) report("terminal", o.terminals.empty() ? "no pseudo-terminal present" : "nothing written");
}

// The commands and the kernel setting; answers whether the setting was
// written as the run should have written it.
bool reportCommands(const Options& o, const sim::Session& session) {
  for (const sim::platform::ShellCall& call : sim::platform::commands()) {
    std::string outcome;
    if (!call.ran)
      outcome = o.shell ? " (not run)" : " (not run: --no-shell)";
    else if (call.status >= 0 && (call.status & 0x7F) == 0)
      outcome = " (shell exit " + std::to_string((call.status >> 8) & 0xFF) + ")";
    else
      outcome = " (shell failed: status " + std::to_string(call.status) + ")";
    report("command", call.command + outcome);
  }
  if (sim::platform::commands().empty()) report("command", "none run");
  std::string error;
  const auto kernel = sim::sandbox::readRegular(session.root(), "proc/sys/vm/min_free_kbytes", kShownBytes, error);
  const std::string where = " (" + session.kernelSettingPath() + ")";
  if (kernel && kernel->size > 0) {
    report("kernel", "min_free_kbytes now holds " + shownFile(*kernel) + where);
    return true;
  }
  report("kernel", std::string("min_free_kbytes was not written") +
                       (o.shell ? " by this run" : ": no shell with --no-shell") + where);
  return !o.shell;
}

void reportSettings(const sim::Session& session, const std::vector<std::optional<sim::sandbox::FileBytes>>& before) {
  const auto after = settingsFiles(session);
  bool any = false;
  for (size_t i = 0; i < std::size(kSettingsFiles); ++i) {
    const auto& was = before[i];
    const auto& now = after[i];
    if (!was && !now) continue;
    const bool same = was && now && was->size == now->size && was->bytes == now->bytes;
    const char* what = !now ? "deleted" : !was ? "created" : same ? "unchanged" : "rewritten";
    report("settings", std::string(kSettingsFiles[i]) + " " + what +
                           (now ? ", " + std::to_string(now->size) + " bytes " + shownFile(*now) : ""));
    any = true;
  }
  if (!any) report("settings", "no settings file on the disk");
}

void reportState() {
  report("cwd", sim::firmware().currentDir());
  const sim::MemoryStats mem = sim::firmware().memory();
  report("heap", std::to_string(mem.liveBlocks) + " blocks live, peak " + std::to_string(mem.peakBytes) + " bytes");
  using sim::linker::Fn;
  report("calls", std::to_string(sim::firmware().trace().size()) + " firmware, " +
                      std::to_string(sim::linker::calls().size()) + " dynamic-linker (dlopen " +
                      std::to_string(sim::linker::count(Fn::Open)) + ", dlsym " +
                      std::to_string(sim::linker::count(Fn::Symbol)) + ", dlerror " +
                      std::to_string(sim::linker::count(Fn::Error)) + ", dlclose " +
                      std::to_string(sim::linker::count(Fn::Close)) + ")");
}

// Every call the module made, in the order it made them: firmware,
// dynamic-linker, terminal open and system calls in one list.
void printTrace() {
  std::vector<std::pair<uint64_t, std::string>> calls;
  for (const sim::FirmwareCall& call : sim::firmware().trace()) calls.push_back({call.sequence, sim::text(call)});
  const std::vector<std::string> linked = sim::linker::trace();
  for (size_t i = 0; i < linked.size(); ++i) calls.push_back({sim::linker::calls()[i].sequence, linked[i]});
  for (const auto& call : sim::platform::opens()) calls.push_back({call.sequence, sim::platform::text(call)});
  for (const auto& call : sim::platform::commands()) calls.push_back({call.sequence, sim::platform::text(call)});
  std::stable_sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  printf("--- calls, in order\n");
  for (const auto& [sequence, line] : calls) printf("%s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const Options o = parse(argc, argv);
  sim::SessionOptions options{o.sandbox, {}, o.shell};
  if (!o.disk.empty()) options.writable.push_back(o.disk);
  sim::Session& session = sim::Session::start(argc, argv, options);
  if (!session.confined() && o.shell)
    fail("cannot confine the module: " + session.unconfinedReason() +
         "; --no-shell runs it with its shell command and terminals refused");

  session.useModule(o.module);
  std::string error;
  const auto identity = sim::readIdentity(session.modulePath(), error);
  if (!identity) fail(error);
  session.resetTerminals(o.terminals);
  session.clearKernelSetting();
  session.boot({o.disk, o.chdirSuccess, o.startDir, o.taskData, o.utf8});
  const auto settingsBefore = settingsFiles(session);
  auto init = session.module().get<InitEntry>("__TAP_Init_");
  if (init == nullptr) fail(o.module + " has no entry point __TAP_Init_");

  reportIdentity(o.module, *identity);
  runEntries(o, init);
  reportTerminals(o, session);
  const bool written = reportCommands(o, session);
  reportSettings(session, settingsBefore);
  reportState();
  if (o.trace) printTrace();
  return written ? 0 : 3;
}
