// devsim: runs a module file once in the simulated device.
//
//   devsim run MODULE [options]
//
// Checks and prints the module's identity header, hands it its entry record,
// calls its main entry and delivers events, then reports what the device
// would show: the terminal line, the command and the kernel setting it wrote,
// and the module's settings file. Bad input gets one line and exit status 1
// (2 for a wrong command line).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "device.h"
#include "linker.h"
#include "sandbox.h"
#include "tapheader.h"

namespace {

constexpr char kUsage[] =
    "usage: devsim run MODULE [options]\n"
    "  --sandbox DIR        sandbox folder: disk/, dev/pts/, proc/sys/vm/ (default ./devsim-sandbox)\n"
    "  --disk DIR           folder standing for the device's disk (default SANDBOX/disk)\n"
    "  --start-dir PATH     the module's current directory at start (default /ProgramFiles)\n"
    "  --terminals LIST     pseudo-terminals present, e.g. 0,3 or none (default 0)\n"
    "  --chdir-success N    what TAP_Hdd_ChangeDir answers on success (default 0)\n"
    "  --no-utf8            firmware without its UTF-8 routine\n"
    "  --no-task-data       firmware without task table and current-task index\n"
    "  --event CODE:P1:P2   deliver this event after the main entry (default 1:7:0; repeatable)\n"
    "  --trace              print every firmware call and dynamic-linker call\n";

// Where the module looks for its settings file, module folder first.
const char* const kSettingsFiles[] = {
    "/ProgramFiles/Settings/Steadyflow/Steadyflow.ini",
    "/ProgramFiles/Settings/Steadyflow.ini",
    "/ProgramFiles/Steadyflow.ini",
};

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
  if (o.disk.empty()) o.disk = o.sandbox + "/disk";
  if (o.events.empty()) o.events.push_back({1, 7, 0});
  return o;
}

void makeDirs(const std::string& path) {
  std::string sofar;
  for (const std::string& part : split(path, '/')) {
    sofar += part + "/";
    if (!part.empty()) mkdir(sofar.c_str(), 0755);
  }
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
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

// Lays out the sandbox: the disk with "/ProgramFiles", the terminals asked
// for (empty), and the kernel setting.
void prepareSandbox(const Options& o) {
  makeDirs(o.sandbox + "/dev/pts");
  makeDirs(o.sandbox + "/proc/sys/vm");
  makeDirs(o.disk + "/ProgramFiles");
  if (access(o.disk.c_str(), W_OK) != 0) fail("the disk folder " + o.disk + " is not writable");
  char real[4096];
  if (realpath(o.sandbox.c_str(), real) == nullptr) fail("cannot use the sandbox folder " + o.sandbox);
  sim::sandbox::setRoot(real);
  if (DIR* dir = opendir((std::string(real) + "/dev/pts").c_str())) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') unlink((std::string(real) + "/dev/pts/" + e->d_name).c_str());
    closedir(dir);
  }
  for (int t : o.terminals) writeFile(sim::sandbox::terminal(t), "");
  if (!readFile(sim::sandbox::kernelSetting())) writeFile(sim::sandbox::kernelSetting(), "");
}

void configureFirmware(const Options& o) {
  sim::Firmware& fw = sim::firmware();
  char real[4096];
  if (realpath(o.disk.c_str(), real) == nullptr) fail("cannot use the disk folder " + o.disk);
  fw.reset(real);
  fw.setChangeDirSuccess(o.chdirSuccess);
  if (!fw.setCurrentDir(o.startDir)) fail("the start directory " + o.startDir + " is no folder on the disk");
  std::string error;
  if (o.taskData && !sim::loadFirmwareData(sim::FirmwareData::TaskTable, error)) fail(error);
  if (o.utf8 && !sim::loadFirmwareData(sim::FirmwareData::Utf8Routine, error)) fail(error);
}

void report(const char* what, const std::string& text) { printf("%-10s %s\n", what, text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const Options o = parse(argc, argv);

  std::string error;
  auto identity = sim::readIdentity(o.module, error);
  if (!identity) fail(error);
  prepareSandbox(o);
  configureFirmware(o);
  auto module = sim::Module::load(o.module, error);
  if (!module) fail(error);
  auto init = module->get<int32_t(TapEntryRecord*)>("__TAP_Init_");
  if (init == nullptr) fail(o.module + " has no entry point __TAP_Init_");

  char id[16];
  snprintf(id, sizeof id, "0x%08X", identity->id);
  char value[16];
  snprintf(value, sizeof value, "0x%X", identity->headerValue);
  report("module", o.module);
  report("name", identity->name);
  report("version", identity->version);
  report("id", id);
  report("date", identity->date);
  report("header", std::string("TFAPMIPS ") + value + (identity->headerValue == TAP_HEADER_VALUE ? ", ok" : ", unexpected value"));

  TapEntryRecord entries = {nullptr, nullptr};
  const int32_t initResult = init(&entries);
  if (entries.main == nullptr || entries.event == nullptr)
    fail("__TAP_Init_ returned " + std::to_string(initResult) + " but left an entry slot empty");
  report("init", "__TAP_Init_ returned " + std::to_string(initResult) + "; main and event slots filled");

  std::vector<std::optional<std::string>> settingsBefore;
  for (const char* file : kSettingsFiles) settingsBefore.push_back(readFile(o.disk + file));
  const int32_t mainResult = entries.main();
  report("main", "TAP_Main returned " + std::to_string(mainResult));
  if (!sim::firmware().printed().empty()) report("printed", shown(sim::firmware().printed()));
  for (const Event& e : o.events) {
    char call[96];
    snprintf(call, sizeof call, "TAP_EventHandler(0x%X, %u, %u) returned %u", e.code, e.param1, e.param2,
             entries.event(e.code, e.param1, e.param2));
    report("event", call);
  }

  bool shownTerminal = false;
  for (int t : o.terminals) {
    const std::string bytes = readFile(sim::sandbox::terminal(t)).value_or("");
    if (bytes.empty()) continue;
    report("terminal", "/dev/pts/" + std::to_string(t) + " received " + std::to_string(bytes.size()) + " bytes: " + shown(bytes));
    shownTerminal = true;
  }
  if (!shownTerminal) report("terminal", o.terminals.empty() ? "no pseudo-terminal present" : "nothing written");
  for (const std::string& command : sim::sandbox::commands()) report("command", command);
  if (sim::sandbox::commands().empty()) report("command", "none run");
  const std::string kernel = readFile(sim::sandbox::kernelSetting()).value_or("");
  report("kernel", "min_free_kbytes now holds " + (kernel.empty() ? std::string("nothing") : shown(kernel)) + " (" +
                       sim::sandbox::kernelSetting() + ")");

  bool anySettings = false;
  for (size_t i = 0; i < std::size(kSettingsFiles); ++i) {
    const auto& before = settingsBefore[i];
    const auto after = readFile(o.disk + kSettingsFiles[i]);
    if (!before && !after) continue;
    const char* what = !after ? "deleted" : !before ? "created" : *before == *after ? "unchanged" : "rewritten";
    report("settings", std::string(kSettingsFiles[i]) + " " + what +
                           (after ? ", " + std::to_string(after->size()) + " bytes " + shown(*after) : ""));
    anySettings = true;
  }
  if (!anySettings) report("settings", "no settings file on the disk");
  report("cwd", sim::firmware().currentDir());
  const sim::MemoryStats mem = sim::firmware().memory();
  report("heap", std::to_string(mem.liveBlocks) + " blocks live, peak " + std::to_string(mem.peakBytes) + " bytes");
  using sim::linker::Fn;
  report("calls", std::to_string(sim::firmware().trace().size()) + " firmware, " +
                      std::to_string(sim::linker::calls().size()) + " dynamic-linker (dlopen " +
                      std::to_string(sim::linker::count(Fn::Open)) + ", dlsym " + std::to_string(sim::linker::count(Fn::Symbol)) +
                      ", dlerror " + std::to_string(sim::linker::count(Fn::Error)) + ", dlclose " +
                      std::to_string(sim::linker::count(Fn::Close)) + ")");
  if (o.trace) {
    printf("--- firmware calls\n");
    for (const sim::FirmwareCall& call : sim::firmware().trace()) printf("%s\n", sim::text(call).c_str());
    printf("--- dynamic-linker calls\n");
    for (const std::string& line : sim::linker::trace()) printf("%s\n", line.c_str());
  }
  return 0;
}
