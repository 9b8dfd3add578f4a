// confine: runs a program in the confinement every hosting program uses
// (confine/confine.h), in a fresh room that is gone when it ends.
//
//   confine [--writable DIR]... [--reach PATH]... [--timeout SECONDS]
//           -- PROGRAM [ARGUMENT...]
//
// For what cannot confine itself by running again: a program under valgrind,
// or the device image's loader under qemu. Every argument that names a file
// is handed in read-only, as is each PATH (what the program reads beyond its
// arguments, such as the folder of the libraries it loads); each DIR is
// bound writable, for what the program leaves (a valgrind log). Inside, the
// room's disk is /run/steadyflow/disk. Exits with the program's status; 124
// when it took longer than SECONDS; 1 with one line when no confinement can
// be had, 2 for a wrong command line.
#include "confine.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& line, int status) {
  fprintf(stderr, "confine: %s\n", line.c_str());
  exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  sim::confine::Request request;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
    const bool valued = i + 1 < argc;
    if (strcmp(argv[i], "--writable") == 0 && valued)
      request.writable.push_back(argv[i + 1]);
    else if (strcmp(argv[i], "--reach") == 0 && valued)
      request.reach.push_back(argv[i + 1]);
    else if (strcmp(argv[i], "--timeout") == 0 && valued && atoi(argv[i + 1]) > 0)
      request.timeout = static_cast<unsigned>(atoi(argv[i + 1]));
    else
      fail(std::string("unknown or incomplete option ") + argv[i] +
               " (usage: confine [--writable DIR]... [--reach PATH]... [--timeout SECONDS] -- PROGRAM [ARGUMENT...])",
           2);
  }
  if (i + 1 >= argc) fail("no program given after --", 2);
  for (int arg = i + 1; arg < argc; ++arg)
    if (strchr(argv[arg], '/') != nullptr && access(argv[arg], F_OK) == 0) request.reach.push_back(argv[arg]);
  request.program.assign(argv + i + 1, argv + argc);
  return sim::confine::runToEnd(request, "confine");
}
