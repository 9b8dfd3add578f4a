#include "confinement.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

#include "process.h"
#include "sandbox.h"

namespace sim::confinement {
namespace {

constexpr char kLauncher[] = "bwrap";
constexpr char kRootVariable[] = "STEADYFLOW_SANDBOX";
// Inside, the program is an ordinary user (the caller's own id outside):
// not 0, so that a confined program can confine a program of its own.
constexpr char kInsideId[] = "1000";
// The descriptor on which bwrap reads the call filter.
constexpr int kFilterFd = 3;

// To the kernel the confined program is still its caller (the machine's root
// here), only without capabilities, and two things no namespace separates
// answer to that: a service's unix socket anywhere on the read-only tree
// (connecting writes nothing to the file system, and the service sees its
// caller as root), and the kernel keyrings, root's own among them. So the
// call filter refuses making a unix socket (socketpair stays) and every
// keyring call. The numbers are the machine's: bwrap and the kernel run
// natively, also when this program runs under qemu. On a machine not listed
// the filter refuses nothing.
struct Architecture {
  uint32_t arch;
  uint32_t socket;                // refused for AF_UNIX
  std::vector<uint32_t> refused;  // refused outright
  bool x32;                       // x86_64's x32 calls, refused outright
};
const Architecture kArchitectures[] = {
    // add_key, request_key, keyctl (and socketcall on i386)
    {AUDIT_ARCH_X86_64, 41, {248, 249, 250}, true},
    {AUDIT_ARCH_I386, 359, {286, 287, 288, 102}, false},
    {AUDIT_ARCH_AARCH64, 198, {217, 218, 219}, false},
};

// The filter as a classic BPF program: one block per architecture, skipped on
// any other, each ending in "allow" and "refuse".
std::vector<sock_filter> callFilter() {
  std::vector<sock_filter> p;
  auto load = [&](uint32_t offset) { p.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)); };
  auto jump = [&](uint16_t test, uint32_t value) {
    p.push_back(BPF_JUMP(BPF_JMP | test | BPF_K, value, 0, 0));
    return p.size() - 1;
  };
  for (const Architecture& a : kArchitectures) {
    load(offsetof(seccomp_data, arch));
    const size_t other = jump(BPF_JEQ, a.arch);
    load(offsetof(seccomp_data, nr));
    std::vector<size_t> refusals;
    if (a.x32) refusals.push_back(jump(BPF_JGE, 0x40000000));
    for (uint32_t call : a.refused) refusals.push_back(jump(BPF_JEQ, call));
    const size_t socket = jump(BPF_JEQ, a.socket);
    load(offsetof(seccomp_data, args));  // the family: the low word, these machines being little-endian
    refusals.push_back(jump(BPF_JEQ, AF_UNIX));
    p.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    p.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    // Jumps count the instructions they skip.
    const size_t refuse = p.size() - 1, allow = refuse - 1;
    for (size_t at : refusals) p[at].jt = static_cast<uint8_t>(refuse - at - 1);
    p[socket].jf = static_cast<uint8_t>(allow - socket - 1);
    p[other].jf = static_cast<uint8_t>(refuse - other);
  }
  p.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return p;
}

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

// Runs ARGV (bwrap) with no other descriptor than the three standard ones
// and the call filter on kFilterFd, and answers its status. With an OUTPUT
// descriptor, its stdout and stderr go there and its stdin is empty.
int spawn(const std::vector<std::string>& argv, int output = -1) {
  const std::vector<sock_filter> filter = callFilter();
  process::Child child;
  if (output >= 0) {
    child.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    child.out = child.err = output;
  }
  child.prepare = [&filter] {
    // A descriptor of a folder outside would be a way out of the read-only tree.
    if (close_range(3, ~0u, 0) != 0)
      for (int fd = 3; fd < 1024; ++fd) close(fd);
    int pipeFds[2];
    const ssize_t size = static_cast<ssize_t>(filter.size() * sizeof filter[0]);
    if (pipe(pipeFds) != 0 || write(pipeFds[1], filter.data(), size) != size) return false;
    close(pipeFds[1]);
    return pipeFds[0] == kFilterFd || (dup2(pipeFds[0], kFilterFd) == kFilterFd && close(pipeFds[0]) == 0);
  };
  const int status = process::run(argv, child);
  if (child.in >= 0) close(child.in);
  return status < 0 ? 127 : process::exitCode(status);
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
                                   "--new-session",  "--seccomp",     std::to_string(kFilterFd),
                                   "--ro-bind",      "/",             "/"};
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
