// confine: runs a program in the confinement every hosting program uses
// (confinement.h), on a sandbox folder it lays out first.
//
//   confine SANDBOX [--writable DIR]... [--reach PATH]... [--timeout SECONDS]
//           -- PROGRAM [ARGUMENT...]
//
// For what cannot confine itself by running again: a program under valgrind,
// or the device image's loader under qemu. Every argument that names a file
// is handed in, as is the current folder and each PATH (what the program
// reads beyond its arguments, such as the folder of the libraries it
// loads). Exits with the program's status;
// 124 when it took longer than SECONDS; 1 with one line when the sandbox or
// the confinement cannot be had, 2 for a wrong command line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "confinement.h"

namespace {

[[noreturn]] void fail(const std::string& line, int status) {
  fprintf(stderr, "confine: %s\n", line.c_str());
  exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4)
    fail("usage: confine SANDBOX [--writable DIR]... [--reach PATH]... [--timeout SECONDS] -- PROGRAM [ARGUMENT...]",
         2);
  sim::confinement::Request request{argv[1], {}, {}, false, 0};
  int i = 2;
  for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
    const bool valued = i + 1 < argc;
    if (strcmp(argv[i], "--writable") == 0 && valued)
      request.writable.push_back(argv[i + 1]);
    else if (strcmp(argv[i], "--reach") == 0 && valued)
      request.reach.push_back(argv[i + 1]);
    else if (strcmp(argv[i], "--timeout") == 0 && valued && atoi(argv[i + 1]) > 0)
      request.timeout = static_cast<unsigned>(atoi(argv[i + 1]));
    else
      fail(std::string("unknown or incomplete option ") + argv[i], 2);
  }
  if (i + 1 >= argc) fail("no program given after --", 2);
  for (int arg = i + 1; arg < argc; ++arg)
    if (strchr(argv[arg], '/') != nullptr) request.reach.push_back(argv[arg]);
  return sim::confinement::runToEnd(request, std::vector<std::string>(argv + i + 1, argv + argc), "confine");
}
