#include "confinement.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"

namespace sim::confinement {
namespace {

constexpr char kLauncher[] = "bwrap";
constexpr char kRootVariable[] = "STEADYFLOW_SANDBOX";
// Inside, the program is an ordinary user (the caller's own id outside):
// not 0, so that a confined program can confine a program of its own.
constexpr char kInsideId[] = "1000";

bool sameFile(const char* a, const std::string& b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool readOnly(const char* path) {
  struct statvfs st;
  return statvfs(path, &st) == 0 && (st.f_flag & ST_RDONLY) != 0;
}

// Within a confinement a further one cannot mount a /proc of its own (the
// kernel refuses to reveal more of one than is visible): it keeps the one it
// is given, which already shows only the confined processes.
bool nested() {
  const auto root = namedRoot();
  return root && activeOn(*root);
}

// Runs ARGV with no other descriptor than the three standard ones, and
// answers its status. With an OUTPUT descriptor, its stdout and stderr go
// there and its stdin is empty.
int spawn(const std::vector<std::string>& argv, int output = -1) {
  const pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    if (output >= 0) {
      const int null = open("/dev/null", O_RDONLY);
      if (null >= 0) dup2(null, 0);
      dup2(output, 1);
      dup2(output, 2);
    }
    // A descriptor of a folder outside would be a way out of the read-only tree.
    if (close_range(3, ~0u, 0) != 0)
      for (int fd = 3; fd < 1024; ++fd) close(fd);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return 127;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool activeOn(const std::string& root) {
  return sameFile("/proc/sys/vm/min_free_kbytes", sandbox::kernelSetting(root)) &&
         sameFile("/dev/pts", root + "/dev/pts") && readOnly("/") && readOnly("/proc/sys/kernel");
}

std::optional<std::string> namedRoot() {
  const char* root = getenv(kRootVariable);
  if (root == nullptr || *root == '\0') return std::nullopt;
  return std::string(root);
}

std::vector<std::string> command(const Request& request, const std::vector<std::string>& program) {
  std::vector<std::string> argv = {kLauncher,        "--unshare-all", "--unshare-user", "--uid",    kInsideId,
                                   "--gid",          kInsideId,       "--cap-drop",     "ALL",      "--die-with-parent",
                                   "--new-session",  "--ro-bind",     "/",              "/"};
  if (nested())
    argv.insert(argv.end(), {"--ro-bind", "/proc", "/proc"});
  else
    argv.insert(argv.end(), {"--proc", "/proc", "--ro-bind", "/proc/sys", "/proc/sys"});
  argv.insert(argv.end(), {"--dev", "/dev", "--bind", request.root, request.root});
  for (const std::string& folder : request.writable) argv.insert(argv.end(), {"--bind", folder, folder});
  argv.insert(argv.end(), {"--bind", sandbox::kernelSetting(request.root), "/proc/sys/vm/min_free_kbytes",
                           "--bind", request.root + "/dev/pts", "/dev/pts",
                           "--setenv", kRootVariable, request.root,
                           "--setenv", "TMPDIR", sandbox::temporary(request.root)});
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) != nullptr) argv.insert(argv.end(), {"--chdir", cwd});
  argv.push_back("--");
  argv.insert(argv.end(), program.begin(), program.end());
  return argv;
}

bool available(const Request& request, std::string& why) {
  const char* tmp = getenv("TMPDIR");
  std::string errPath = std::string(tmp && *tmp ? tmp : "/tmp") + "/steadyflow-confine-XXXXXX";
  const int errFd = mkstemp(errPath.data());
  if (errFd < 0) {
    why = "cannot make a temporary file: " + std::string(strerror(errno));
    return false;
  }
  unlink(errPath.c_str());
  const int status = spawn(command(request, {"/bin/true"}), errFd);
  if (status == 0) {
    close(errFd);
    return true;
  }
  char text[512] = {};
  const ssize_t n = pread(errFd, text, sizeof text - 1, 0);
  close(errFd);
  std::string said(text, n > 0 ? static_cast<size_t>(n) : 0);
  said = said.substr(0, said.find('\n'));
  if (status == 127 && said.empty())
    why = "bwrap cannot be run (install the package bubblewrap)";
  else
    why = "bwrap cannot set up the namespaces" + (said.empty() ? std::string() : " (" + said + ")");
  return false;
}

int run(const Request& request, const std::vector<std::string>& program) {
  return spawn(command(request, program));
}

}  // namespace sim::confinement
