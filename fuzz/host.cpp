#include "host.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>

#include "linker.h"

namespace fs = std::filesystem;

namespace fuzz {
namespace {

// The folders libFuzzer writes, into OPTIONS: the first corpus folder (new
// inputs) and the folder of the artifact prefix (findings); and those it
// only reads, the seed corpora after the first.
void corpusFolders(int argc, char** argv, sim::SessionOptions& options) {
  bool first = true;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    constexpr char kPrefix[] = "-artifact_prefix=";
    if (strncmp(arg, kPrefix, sizeof kPrefix - 1) == 0) {
      const fs::path prefix(arg + sizeof kPrefix - 1);
      if (prefix.has_parent_path()) options.writable.push_back(prefix.parent_path());
    } else if (arg[0] != '-' && fs::is_directory(arg)) {
      (first ? options.writable : options.reach).push_back(arg);
      first = false;
    }
  }
}

}  // namespace

void boot(int argc, char** argv) {
  sim::SessionOptions options;
  corpusFolders(argc, argv, options);
  options.shell = false;
  sim::Session& session = sim::Session::start(argc, argv, options);
  fs::create_directories(session.hostPath("/ProgramFiles/Settings"));
  session.boot({});
}

std::string hostPath(const std::string& diskPath) { return sim::Session::current().hostPath(diskPath); }

sim::Module& module(int copy) { return sim::Session::current().module(copy); }

void resetFirmware() {
  sim::Session::current().resetFirmware({});
  sim::linker::reset();
}

sim::Firmware& fw() { return sim::firmware(); }

TapTaskEntry& currentTask() {
  const auto task = sim::Session::current().taskData();
  if (task.table == nullptr) fail("no task data loaded");
  return task.table[*task.index];
}

void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("fuzz: invariant broken: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  abort();
}

}  // namespace fuzz
