#include "process.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

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

bool drain(pid_t pid, const std::vector<int>& fds, unsigned timeout,
           const std::function<bool(size_t, const std::string&)>& onRead, const std::function<bool()>& stop) {
  auto now = [] {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  };
  std::vector<pollfd> polled;
  for (int fd : fds) polled.push_back({fd, POLLIN, 0});
  const double deadline = now() + timeout;
  bool timedOut = false, killed = false;
  auto end = [&] {
    if (!killed) kill(pid, SIGKILL);
    killed = true;
  };
  for (size_t open = std::count_if(fds.begin(), fds.end(), [](int fd) { return fd >= 0; }); open > 0;) {
    const int wait = timeout > 0 && !killed ? static_cast<int>(std::max(0.0, deadline - now()) * 1000) + 1 : -1;
    const int ready = poll(polled.data(), polled.size(), wait);
    if (stop && stop()) end();
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0) {
      timedOut = true;
      end();
      continue;
    }
    for (size_t i = 0; i < polled.size(); ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(polled[i].fd, buffer, sizeof buffer);
      if (n > 0 && !onRead(i, std::string(buffer, static_cast<size_t>(n)))) end();
      if (n > 0) continue;
      close(polled[i].fd);
      polled[i].fd = -1;
      --open;
    }
  }
  return timedOut;
}

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
