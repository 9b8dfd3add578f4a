// confine: runs a program in the confinement every hosting program uses
// (confinement.h), on a sandbox folder it lays out first.
//
//   confine SANDBOX [--writable DIR]... -- PROGRAM [ARGUMENT...]
//
// For what cannot confine itself by running again: a program under valgrind,
// or the device image's loader under qemu. Exits with the program's status;
// 1 with one line when the sandbox or the confinement cannot be had, 2 for a
// wrong command line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "confinement.h"
#include "sandbox.h"

namespace {

[[noreturn]] void fail(const std::string& line, int status) {
  fprintf(stderr, "confine: %s\n", line.c_str());
  exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) fail("usage: confine SANDBOX [--writable DIR]... -- PROGRAM [ARGUMENT...]", 2);
  std::string error;
  const auto root = sim::sandbox::prepare(argv[1], error);
  if (!root) fail(error, 1);
  sim::confinement::Request request{*root, {}};
  int i = 2;
  for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
    if (strcmp(argv[i], "--writable") != 0 || i + 1 >= argc) fail(std::string("unknown option ") + argv[i], 2);
    const auto folder = sim::sandbox::prepareWritable(argv[i + 1], error);
    if (!folder) fail(error, 1);
    request.writable.push_back(*folder);
  }
  if (i + 1 >= argc) fail("no program given after --", 2);
  if (!sim::confinement::available(request, error)) fail("cannot confine: " + error, 1);
  return sim::confinement::run(request, std::vector<std::string>(argv + i + 1, argv + argc));
}
