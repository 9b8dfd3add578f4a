#include "process.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim::process {

pid_t start(const std::vector<std::string>& argv, const Child& child) {
  if (argv.empty()) return -1;
  // Built before the fork: the child only execs.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int redirects[][2] = {{child.in, 0}, {child.out, 1}, {child.err, 2}};
  for (const auto& [from, to] : redirects)
    if (from >= 0 && dup2(from, to) != to) _exit(126);
  if (!child.folder.empty() && chdir(child.folder.c_str()) != 0) _exit(126);
  if (child.prepare && !child.prepare()) _exit(126);
  execvp(args[0], args.data());
  _exit(127);
}

int wait(pid_t pid) {
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}

int run(const std::vector<std::string>& argv, const Child& child) { return wait(start(argv, child)); }

Ending ending(int status) {
  if (status < 0) return {};
  if (WIFEXITED(status)) return {true, WEXITSTATUS(status), 0};
  return {false, 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

int exitCode(int status) {
  if (status < 0) return -1;
  const Ending e = ending(status);
  return e.exited ? e.code : 128 + e.signal;
}

}  // namespace sim::process
