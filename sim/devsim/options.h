// devsim's command line: the commands, their options, and the usage text.
// The parser exits nothing and prints nothing; it answers what to do, so a
// fuzz program can drive it with any argument vector.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace devsim {

extern const char kUsage[];

struct Event {
  uint32_t code, param1, param2;
};

enum class Command { Run, Check };

struct Options {
  Command command = Command::Run;
  std::string module;        // run: the module file; check: empty for the build's own
  std::string settingsFile;  // check FILE; empty: the sandbox disk's files
  std::string sandbox = "devsim-sandbox";
  std::string disk;
  std::string image;      // run: a device image's root; empty runs the module here
  std::string vm;         // run: a VM's folder (make vm); empty runs the module here
  unsigned memory = 128;  // run --vm: the VM's memory in MiB
  std::string startDir = "/ProgramFiles";
  std::vector<int> terminals = {0};
  int32_t chdirSuccess = 0;
  bool utf8 = true;
  bool taskData = true;
  bool trace = false;
  bool shell = true;
  unsigned timeout = 30;      // seconds the confined run may take
  std::vector<Event> events;  // run: at least one
  // check: the settings entry to explain, as the module reads it; what is
  // not given is this project's module's (app/Steadyflow.h)
  std::string diskFile;                              // --file: the file's disk path
  std::string key;                                   // --key
  std::optional<int32_t> fallback, lowest, highest;  // --default, --min, --max
};

// What the command line asks for: exactly one of the four is given.
struct Parsed {
  std::optional<Options> options;  // a command to carry out
  bool help = false;               // --help: print kUsage
  std::string error;               // one line saying what is wrong
  bool version = false;            // --version: print the version
};

// ARGV[0] is the program; the rest is the command and its options.
Parsed parse(int argc, const char* const* argv);

}  // namespace devsim
