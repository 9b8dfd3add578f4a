#include "options.h"

#include <errno.h>
#include <stdlib.h>

#include <sstream>

#include "INIKeyPattern.h"
#include "event_text.h"
#include "helpers.h"
#include "record.h"

namespace devsim {

using sim::record::quoted;

const char kUsage[] =
    "usage: devsim run MODULE [options]\n"
    "       devsim check [--sandbox DIR | FILE] [--module MODULE] [--file DISK-PATH] [--key KEY] [--default N]\n"
    "                    [--min N] [--max N]\n"
    "       devsim --help | --version\n"
    "An option's value follows it as the next argument or after \"=\": --sandbox DIR or --sandbox=DIR.\n"
    "\n"
    "devsim run: runs MODULE once in the simulated device and reports what it did.\n"
    "  MODULE: an ELF shared object with the identity header, exporting __TAP_Init_ (which fills the entry\n"
    "  record with TAP_Main and TAP_EventHandler), needing /tapapi/TMS/libtap.so, libdl.so.0 and libc.so.0\n"
    "  (steadyflow_add_module makes one). devsim calls __TAP_Init_, TAP_Main once, then each --event in\n"
    "  order. The firmware offers TAP_MemAlloc, TAP_MemFree, TAP_MemSet, TAP_MemCpy, TAP_SPrint, TAP_Print,\n"
    "  TAP_Sleep, TAP_Hdd_Exist, TAP_Hdd_Create, TAP_Hdd_Delete, TAP_Hdd_ChangeDir, TAP_Hdd_Fopen,\n"
    "  TAP_Hdd_Flen, TAP_Hdd_Fread, TAP_Hdd_Fwrite and TAP_Hdd_Fclose on a disk with /ProgramFiles, and by\n"
    "  name through the dynamic linker its task table (_tapTask, _curTapTask) and UTF-8 routine; the C\n"
    "  library functions the kit's guide lists (docs/kit.md, installed as share/doc/steadyflow/kit.md), with\n"
    "  a shell, confined; pseudo-terminals /dev/pts/N (--terminals). The report's disk lines name each\n"
    "  file and folder the run created, changed or deleted on the disk; its settings lines, this project's\n"
    "  module's settings files.\n"
    "  --sandbox DIR        sandbox folder, which keeps the disk as DIR/disk between runs (default ./devsim-sandbox)\n"
    "  --disk DIR           folder standing for the device's disk (default SANDBOX/disk)\n"
    "  --start-dir PATH     the module's current directory at start (default /ProgramFiles)\n"
    "  --terminals LIST     pseudo-terminals present, e.g. 0,3 or none (default 0)\n"
    "  --chdir-success N    what TAP_Hdd_ChangeDir answers on success (default 0)\n"
    "  --no-utf8            firmware without its UTF-8 routine\n"
    "  --no-task-data       firmware without task table and current-task index\n"
    "  --event CODE:P1:P2   deliver this event after the main entry (default 1:7:0; repeatable)\n"
    "  --no-shell           record the module's command, run no shell (the run stays confined)\n"
    "  --trace              list the module's firmware, dynamic-linker, open and system calls in order\n"
    "  --image ROOT         run MODULE (a device build's) in the device image ROOT under qemu-mipsel: the\n"
    "                       device's C library and loader, its processor (MIPS32 release 1) and stack budget,\n"
    "                       a real shell; refuses a module whose imports, needs, text relocations or\n"
    "                       thread-local storage the device's loader cannot be trusted with; not with --no-shell\n"
    "  --vm DIR             run MODULE (a device build's) in a MIPS Linux VM booted from DIR (make vm) under\n"
    "                       qemu-system-mipsel: the device image's loader on a real kernel, whose own\n"
    "                       min_free_kbytes the report shows, with real pseudo-terminals; the disk crosses\n"
    "                       into the VM and back (folders and regular files, 16 MiB, 4096 entries at most);\n"
    "                       the strongest wall for a module you did not write; not with --no-shell\n"
    "  --memory MiB         the VM's memory, 16 to 1024 (default 128)\n"
    "  --timeout SECONDS    end the whole run after SECONDS (1 to 86400, default 30)\n"
    "  exit status: 0 done; 1 bad input; 2 wrong command line; 3 done, but the module's command did not write\n"
    "  the kernel setting (the shell failed); 4 (--vm) the VM's kernel panicked or oopsed, or the VM stopped\n"
    "  answering (one line names it);\n"
    "  124 the run took longer than --timeout; 128+N the run was ended by signal N (one line says where)\n"
    "\n"
    "devsim check: says in one line which value the module will apply from an entry of its settings file,\n"
    "and why, asking the loaded module's own search and read; a second line names files on the disk it does\n"
    "not read. It knows this project's module's file, key, default and limits; for another module, tell it\n"
    "all five (--file, --key, --default, --min, --max), as the module reads them.\n"
    "  --sandbox DIR        the settings files on DIR/disk, as the module searches them (default ./devsim-sandbox)\n"
    "  FILE                 FILE as the module's settings file\n"
    "  --module MODULE      the module to ask (default this build's)\n"
    "  --file DISK-PATH     the settings file's path on the disk, e.g. /ProgramFiles/Settings/Counter/Counter.ini\n"
    "  --key KEY            the entry's key (at most 78 characters, no \"=\")\n"
    "  --default N          the value the module gives INIGetInt for a missing entry or no number\n"
    "  --min N, --max N     the limits it gives INIGetInt (32-bit numbers, --min at most --max)\n"
    "  --timeout SECONDS    end the whole check after SECONDS (1 to 86400, default 30)\n"
    "  exit status: 0 the module reads the file, or finds none: whatever it applies, the default included,\n"
    "  the line says; 1 bad input (a file that is no regular file, a link, too long, unreadable; a bad\n"
    "  module); 2 wrong command line, or another module without all five of its entry's options\n";

namespace {

// A whole argument as a number (decimal, 0x hex or 0 octal) within LOW..HIGH.
bool parseNumber(const std::string& text, long long low, long long high, long long& out) {
  if (text.empty() || text[0] == ' ' || text[0] == '\t') return false;
  char* end = nullptr;
  errno = 0;
  out = strtoll(text.c_str(), &end, 0);
  return *end == '\0' && errno == 0 && out >= low && out <= high;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

std::optional<std::vector<int>> parseTerminals(const std::string& list) {
  std::vector<int> terminals;
  if (list == "none") return terminals;
  for (const std::string& t : split(list, ',')) {
    long long n = 0;
    if (!parseNumber(t, 0, 99, n)) return std::nullopt;
    terminals.push_back(static_cast<int>(n));
  }
  if (terminals.empty()) return std::nullopt;
  return terminals;
}

// Why PATH is no path of a file on the device's disk the check can be told
// of: one from the disk's root, of names only, its folder short enough for
// the firmware's current directory (TAP_DIR_LEN); empty when it is one.
std::string diskPathProblem(const std::string& path) {
  const std::string takes =
      "--file takes the settings file's path on the device's disk, from its root (e.g. "
      "/ProgramFiles/Settings/Counter/Counter.ini), not " +
      quoted(path);
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return takes;
  for (const std::string& part : split(path.substr(1), '/'))
    if (part.empty() || part == "." || part == "..") return takes;
  if (path.rfind('/') >= TAP_DIR_LEN)
    return "--file: the folder of " + quoted(path) + " is longer than the firmware's " +
           std::to_string(TAP_DIR_LEN - 1) + " characters";
  return "";
}

// Walks the arguments after the command word, one option at a time. An
// option's value is the next argument, or what follows "=" in the option's
// own ("--sandbox=DIR").
class Parser {
 public:
  Parser(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}
  Parsed parse();

 private:
  bool parseRunOption(const std::string& arg, Options& o);
  bool parseCheckOption(const std::string& arg, Options& o);
  std::optional<std::string> value();
  bool parseTimeout(Options& o);
  bool parseInt32(std::optional<int32_t>& slot);
  bool takeOperand(const std::string& arg, std::string& slot, const char* what, const char* command);
  bool refuse(const std::string& line) {
    if (error_.empty()) error_ = line;
    return false;
  }

  int argc_;
  const char* const* argv_;
  int i_ = 1;
  std::string option_;                // the option at argv[i_], without its "=VALUE"
  std::optional<std::string> given_;  // its "=VALUE", until value() takes it
  std::string error_;
  bool sandboxGiven_ = false;
  bool memoryGiven_ = false;
};

// The value of the option at argv[i_], moving past it when it is the next
// argument. Never empty.
std::optional<std::string> Parser::value() {
  std::optional<std::string> v;
  if (given_)
    v.swap(given_);
  else if (i_ + 1 < argc_)
    v = argv_[++i_];
  if (!v) refuse(option_ + " needs a value");
  if (v && v->empty()) refuse(option_ + " needs a value, not an empty one");
  if (!v || v->empty()) return std::nullopt;
  return v;
}

bool Parser::parseTimeout(Options& o) {
  long long n = 0;
  const auto v = value();
  if (!v) return false;
  if (!parseNumber(*v, 1, 86400, n)) return refuse("--timeout takes seconds from 1 to 86400, not " + quoted(*v));
  o.timeout = static_cast<unsigned>(n);
  return true;
}

bool Parser::parseInt32(std::optional<int32_t>& slot) {
  long long n = 0;
  const auto v = value();
  if (!v) return false;
  if (!parseNumber(*v, INT32_MIN, INT32_MAX, n)) return refuse(option_ + " takes a 32-bit number, not " + quoted(*v));
  slot = static_cast<int32_t>(n);
  return true;
}

bool Parser::parseRunOption(const std::string& arg, Options& o) {
  std::optional<std::string> v;
  if (arg == "--sandbox" || arg == "--disk" || arg == "--start-dir" || arg == "--image" || arg == "--vm") {
    if (!(v = value())) return false;
    (arg == "--sandbox" ? o.sandbox
     : arg == "--disk"  ? o.disk
     : arg == "--image" ? o.image
     : arg == "--vm"    ? o.vm
                        : o.startDir) = *v;
  } else if (arg == "--memory") {
    long long n = 0;
    if (!(v = value())) return false;
    if (!parseNumber(*v, 16, 1024, n)) return refuse("--memory takes MiB from 16 to 1024, not " + quoted(*v));
    o.memory = static_cast<unsigned>(n);
    memoryGiven_ = true;
  } else if (arg == "--terminals") {
    if (!(v = value())) return false;
    const auto terminals = parseTerminals(*v);
    if (!terminals) return refuse("--terminals takes numbers 0 to 99 or 'none', not " + quoted(*v));
    o.terminals = *terminals;
  } else if (arg == "--chdir-success") {
    std::optional<int32_t> n;
    if (!parseInt32(n)) return false;
    o.chdirSuccess = *n;
  } else if (arg == "--timeout") {
    return parseTimeout(o);
  } else if (arg == "--event") {
    if (!(v = value())) return false;
    uint32_t e[3];
    if (!sim::parseEvent(v->c_str(), e))
      return refuse("--event takes CODE:P1:P2 (each 0 to 4294967295), not " + quoted(*v));
    o.events.push_back({e[0], e[1], e[2]});
  } else if (arg == "--no-utf8") {
    o.utf8 = false;
  } else if (arg == "--no-task-data") {
    o.taskData = false;
  } else if (arg == "--trace") {
    o.trace = true;
  } else if (arg == "--no-shell") {
    o.shell = false;
  } else {
    return takeOperand(arg, o.module, "module", "run");
  }
  return true;
}

// The one operand COMMAND takes (WHAT), held in SLOT; anything else that
// starts with '-' is an option COMMAND does not know.
bool Parser::takeOperand(const std::string& arg, std::string& slot, const char* what, const char* command) {
  if (arg[0] == '-') return refuse("unknown option " + quoted(arg) + " for devsim " + command);
  if (!slot.empty())
    return refuse(std::string("one ") + what + " at a time (got " + quoted(slot) + " and " + quoted(arg) + ")");
  slot = arg;
  return true;
}

bool Parser::parseCheckOption(const std::string& arg, Options& o) {
  std::optional<std::string> v;
  if (arg == "--sandbox") {
    if (!(v = value())) return false;
    o.sandbox = *v;
    sandboxGiven_ = true;
  } else if (arg == "--timeout") {
    return parseTimeout(o);
  } else if (arg == "--module") {
    if (!(v = value())) return false;
    o.module = *v;
  } else if (arg == "--file") {
    if (!(v = value())) return false;
    if (const std::string problem = diskPathProblem(*v); !problem.empty()) return refuse(problem);
    o.diskFile = *v;
  } else if (arg == "--key") {
    if (!(v = value())) return false;
    if (v->size() > INI_KEY_MAX_LEN || v->find_first_of("=\r\n") != std::string::npos)
      return refuse("--key takes a key of 1 to " + std::to_string(INI_KEY_MAX_LEN) +
                    " characters, without \"=\" or a line end, not " + quoted(*v));
    o.key = *v;
  } else if (arg == "--default" || arg == "--min" || arg == "--max") {
    return parseInt32(arg == "--default" ? o.fallback : arg == "--min" ? o.lowest : o.highest);
  } else if (!takeOperand(arg, o.settingsFile, "settings file", "check")) {
    return false;
  }
  if (sandboxGiven_ && !o.settingsFile.empty()) return refuse("devsim check takes FILE or --sandbox DIR, not both");
  return true;
}

Parsed failed(const std::string& line) { return {std::nullopt, false, line}; }

Parsed Parser::parse() {
  if (argc_ < 2) return failed("no command given (devsim run MODULE, devsim check; devsim --help lists the options)");
  const std::string command = argv_[1];
  if (command == "--help" || command == "-h") return {std::nullopt, true, ""};
  if (command == "--version") return {std::nullopt, false, "", true};
  Options o;
  if (command == "check")
    o.command = Command::Check;
  else if (command != "run")
    return failed("unknown command " + quoted(command) + " (devsim run MODULE, devsim check)");
  for (i_ = 2; i_ < argc_; ++i_) {
    option_ = argv_[i_];
    given_.reset();
    if (const size_t equals = option_.find('='); option_.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      given_ = option_.substr(equals + 1);
      option_.resize(equals);
    }
    if (option_ == "--help" || option_ == "-h") return {std::nullopt, true, ""};
    if (option_ == "--version") return {std::nullopt, false, "", true};
    const bool ok = option_.empty()             ? refuse("an empty argument")
                    : o.command == Command::Run ? parseRunOption(option_, o)
                                                : parseCheckOption(option_, o);
    if (ok && given_) refuse(option_ + " takes no value");
    if (!error_.empty()) return failed(error_);
  }
  if (o.command == Command::Run && o.module.empty()) return failed("no module file given (devsim run MODULE)");
  if (o.sandbox.empty()) return failed("--sandbox needs a folder, not an empty path");
  if (!o.image.empty() && !o.shell) return failed("--image runs a real shell: not with --no-shell");
  if (!o.vm.empty() && !o.shell) return failed("--vm runs a real shell: not with --no-shell");
  if (!o.vm.empty() && !o.image.empty()) return failed("--image or --vm, not both");
  if (memoryGiven_ && o.vm.empty()) return failed("--memory is the VM's: only with --vm");
  if (o.lowest && o.highest && *o.lowest > *o.highest)
    return failed("--min " + std::to_string(*o.lowest) + " is above --max " + std::to_string(*o.highest));
  if (o.command == Command::Run && o.events.empty()) o.events.push_back({1, 7, 0});
  return {o, false, ""};
}

}  // namespace

Parsed parse(int argc, const char* const* argv) { return Parser(argc, argv).parse(); }

}  // namespace devsim
