// Runs a program and waits for it: the one fork, exec and wait of the
// programs that host the module (the confinement's start, the module's shell,
// the tests' programs, the device image's loader).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace sim::process {

struct Child {
  // Descriptors that become the child's stdin, stdout and stderr; -1 keeps
  // the parent's.
  int in = -1, out = -1, err = -1;
  // The child's working folder; empty keeps the parent's.
  std::string folder;
  // Runs in the child just before the exec; false ends the child with 126.
  std::function<bool()> prepare;
};

// Starts ARGV[0] (looked up on PATH unless it holds a slash) with ARGV as
// CHILD says. Answers its process id, or -1 when no child could be started;
// a child that could not exec exits with 127.
pid_t start(const std::vector<std::string>& argv, const Child& child = {});
// Waits for the child PID: its wait status, or -1.
int wait(pid_t pid);
// start, then wait.
int run(const std::vector<std::string>& argv, const Child& child = {});

// Reads each of FDS (-1 for none) until all are closed, and closes them,
// handing every chunk read to ON_READ with its descriptor's index. The child
// PID is killed when ON_READ answers false, when TIMEOUT seconds (0: none)
// are up, or when STOP (if given) answers true after a wait; the time up is
// answered.
bool drain(pid_t pid, const std::vector<int>& fds, unsigned timeout,
           const std::function<bool(size_t, const std::string&)>& onRead, const std::function<bool()>& stop = nullptr);

// How a wait status says a process ended: by an exit with CODE, or by the
// signal SIGNAL; neither for -1.
struct Ending {
  bool exited = false;
  int code = 0;
  int signal = 0;
};
Ending ending(int status);
// A wait status as a shell shows it: the exit code, or 128 + the signal;
// -1 stays -1.
int exitCode(int status);

}  // namespace sim::process
