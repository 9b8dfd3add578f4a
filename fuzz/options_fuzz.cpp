// Fuzzes devsim's command line. The input is an argument vector, its
// arguments separated by zero bytes, after the program name. Whatever it
// holds, the parser answers exactly one of: options to carry out, help, the
// version, or one line saying what is wrong; and the options it answers are
// complete.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

[[noreturn]] void broken(const char* what, const std::vector<std::string>& args) {
  fprintf(stderr, "fuzz: invariant broken: %s (%zu arguments)\n", what, args.size());
  abort();
}

void checkOptions(const devsim::Options& o, const std::vector<std::string>& args) {
  if (o.sandbox.empty()) broken("options with an empty sandbox", args);
  for (int t : o.terminals)
    if (t < 0 || t > 99) broken("a terminal outside 0..99", args);
  if (o.command == devsim::Command::Run) {
    if (o.module.empty()) broken("run without a module", args);
    if (o.events.empty()) broken("run without an event", args);
    if (!o.settingsFile.empty()) broken("run with a settings file", args);
  } else if (!o.settingsFile.empty() && o.sandbox != "devsim-sandbox") {
    broken("check with both a file and a sandbox", args);
  }
  if (o.key.find('=') != std::string::npos) broken("a key holding \"=\"", args);
  if (!o.diskFile.empty() && o.diskFile[0] != '/') broken("a settings file's disk path not from the root", args);
  if (o.lowest && o.highest && *o.lowest > *o.highest) broken("--min above --max", args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"devsim"};
  std::string arg;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  if (size > 0) args.push_back(arg);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  const devsim::Parsed parsed = devsim::parse(static_cast<int>(args.size()), argv.data());
  const int answers =
      (parsed.options ? 1 : 0) + (parsed.help ? 1 : 0) + (parsed.version ? 1 : 0) + (parsed.error.empty() ? 0 : 1);
  if (answers != 1) broken("not exactly one answer", args);
  if (parsed.error.find_first_of("\r\n") != std::string::npos) broken("an error of more than one line", args);
  if (parsed.error.size() > 200 + 4 * size) broken("an error longer than its arguments explain", args);
  if (parsed.options) checkOptions(*parsed.options, args);
  return 0;
}
