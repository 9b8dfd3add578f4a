#include "confinement.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "call_filter.h"
#include "file.h"
#include "process.h"

namespace sim::confinement {
namespace {

using sandbox::Fd;
using sandbox::Held;

constexpr char kLauncher[] = "/usr/bin/bwrap";
constexpr char kRootVariable[] = "STEADYFLOW_SANDBOX";
constexpr char kPhaseVariable[] = "STEADYFLOW_PHASE_FD";
// Inside, the program is an ordinary user with this id (its identity outside).
constexpr char kInsideId[] = "1000";
// The descriptors bwrap reads the call filter from and the program announces
// its phases on.
constexpr int kFilterFd = 3;
constexpr int kPhaseFd = 4;

// What a run may use, set inside by the machine's own prlimit (qemu-mipsel
// would not pass a memory limit on from the program it runs): processes,
// threads counted, within the confinement; writable private memory (an
// address-space limit would refuse qemu-mipsel, which reserves the guest's
// whole 4 GiB at once, and no limit at all suits a sanitized program's
// shadow memory); file sizes; no core files. Then the sizes of /dev and of
// a hidden folder.
constexpr char kLimiter[] = "/usr/bin/prlimit";
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STEADYFLOW_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(STEADYFLOW_ASAN)
constexpr bool kLimitMemory = false;
#else
constexpr bool kLimitMemory = true;
#endif
constexpr uint64_t kDataBytes = 1u << 30;
std::vector<std::string> limits(const Request& request) {
  std::vector<std::string> argv = {"--nproc=256", "--fsize=268435456", "--core=0"};
  if (kLimitMemory) argv.push_back("--data=" + std::to_string(request.dataBytes ? request.dataBytes : kDataBytes));
  return argv;
}
constexpr char kDevBytes[] = "1048576";
constexpr char kHiddenBytes[] = "65536";

std::string reason() { return strerror(errno); }

// --- what the identity can reach ------------------------------------------------

bool passable(const struct stat& st, const sandbox::Owner& owner) {
  if (st.st_uid == owner.uid) return st.st_mode & S_IXUSR;
  if (st.st_gid == owner.gid) return st.st_mode & S_IXGRP;
  return st.st_mode & S_IXOTH;
}

// The highest folder above PATH (absolute, resolved) that OWNER cannot pass;
// empty when it can pass them all.
std::string barrierAbove(const std::string& path, const sandbox::Owner& owner) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && !passable(st, owner)) return folder;
  }
  return "";
}

bool within(const std::string& path, const std::string& folder) {
  return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// --- the plan of a run -------------------------------------------------------------

// One file or folder bound into the confinement: what is bound (the held
// descriptor, or a path) at DEST.
struct Bind {
  Held source;
  std::string dest;
  bool writable;
  std::string staged;  // where a run as root put it for bwrap to find
};

struct Plan {
  std::vector<std::string> hidden;  // folders the identity cannot pass, each an empty tmpfs
  std::vector<Bind> binds;          // in the order bwrap makes them
  std::string stage;                // a run as root: the folder holding the staged binds
};

// What the program reads but cannot reach: each path under a folder the
// identity cannot pass is handed in, that folder hidden behind an empty one.
void planReach(const Request& request, const sandbox::Owner& owner, Plan& plan, std::string& error) {
  std::vector<std::string> reach;
  for (const std::string& path : request.reach) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) reach.push_back(resolved);
  }
  std::vector<std::string> all = reach;
  all.push_back(request.root);
  all.insert(all.end(), request.writable.begin(), request.writable.end());
  for (const std::string& path : all) {
    const std::string barrier = barrierAbove(path, owner);
    if (barrier.empty()) continue;
    if (std::none_of(plan.hidden.begin(), plan.hidden.end(), [&](const auto& h) { return within(barrier, h); }))
      plan.hidden.push_back(barrier);
  }
  std::sort(reach.begin(), reach.end());
  std::vector<std::string> bound;
  for (const std::string& path : reach) {
    const bool hidden =
        std::any_of(plan.hidden.begin(), plan.hidden.end(), [&](const auto& h) { return within(path, h); });
    if (!hidden || std::any_of(bound.begin(), bound.end(), [&](const auto& b) { return within(path, b); })) continue;
    Held held{path, Fd(open(path.c_str(), O_PATH | O_CLOEXEC))};
    if (!held.fd.ok()) {
      error = "cannot hand " + path + " to the confinement: " + reason();
      return;
    }
    bound.push_back(path);
    plan.binds.push_back({std::move(held), path, false, ""});
  }
}

// The staging folders of runs as root: /tmp/steadyflow-stage-PID-XXXXXX.
constexpr char kStagePrefix[] = "/tmp/steadyflow-stage-";

// Removes what a run that was killed left: root's staging folders whose
// process is gone, each holding only the empty places of its binds.
void removeStaleStages() {
  DIR* tmp = opendir("/tmp");
  if (tmp == nullptr) return;
  const std::string prefix = std::string(kStagePrefix).substr(5);
  while (dirent* e = readdir(tmp)) {
    const std::string name = e->d_name;
    struct stat st;
    const std::string folder = "/tmp/" + name;
    if (name.compare(0, prefix.size(), prefix) != 0 || lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != 0)
      continue;
    const pid_t pid = static_cast<pid_t>(atol(name.c_str() + prefix.size()));
    if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
    for (int i = 0; i < 64; ++i) remove((folder + "/" + std::to_string(i)).c_str());
    rmdir(folder.c_str());
  }
  closedir(tmp);
}

// A run as root puts each bind where only root can change it, in a private
// mount namespace of its own (stage()), for bwrap to find by path: the
// identity could not pass the way to some of them, and bwrap binds what a
// path names when it binds. Here the folder of those places: in the sticky
// /tmp, passable for all, listed and changed by root alone.
bool makeStage(Plan& plan, std::string& error) {
  struct stat tmp;
  if (lstat("/tmp", &tmp) != 0 || !S_ISDIR(tmp.st_mode) || tmp.st_uid != 0 ||
      ((tmp.st_mode & S_IWOTH) && !(tmp.st_mode & S_ISVTX))) {
    error = "/tmp is no root-owned sticky folder; the confinement stages its binds there";
    return false;
  }
  removeStaleStages();
  std::string stage = kStagePrefix + std::to_string(getpid()) + "-XXXXXX";
  if (mkdtemp(stage.data()) == nullptr || chmod(stage.c_str(), 0711) != 0) {
    error = "cannot make a staging folder in /tmp: " + reason();
    return false;
  }
  plan.stage = stage;
  for (size_t i = 0; i < plan.binds.size(); ++i) {
    Bind& b = plan.binds[i];
    struct stat st;
    b.staged = stage + "/" + std::to_string(i);
    const bool folder = fstat(b.source.fd.get(), &st) == 0 && S_ISDIR(st.st_mode);
    const bool made = folder ? mkdir(b.staged.c_str(), 0700) == 0
                             : Fd(open(b.staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)).ok();
    if (!made) {
      error = "cannot make " + b.staged + ": " + reason();
      return false;
    }
  }
  return true;
}

void removeStage(const Plan& plan) {
  if (plan.stage.empty()) return;
  for (const Bind& b : plan.binds) remove(b.staged.c_str());
  rmdir(plan.stage.c_str());
}

// Writes LINE on stderr from a child about to exec, and answers false.
bool refused(const std::string& line) {
  const std::string text = "confinement: " + line + ": " + reason() + "\n";
  (void)!write(2, text.data(), text.size());
  return false;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// In a child about to exec, as the machine's root: OWNER's ids and no
// supplementary groups, for good.
bool become(const sandbox::Owner& owner) {
  return setgroups(0, nullptr) == 0 && setresgid(owner.gid, owner.gid, owner.gid) == 0 &&
         setresuid(owner.uid, owner.uid, owner.uid) == 0;
}

// In the child, as root: a mount namespace of its own, private, with every
// bind mounted on its staged place and proven there to be the very file or
// folder held since its check: a name swapped in between (a link to /proc,
// another folder) is refused, never bound.
bool stage(const Plan& plan) {
  if (unshare(CLONE_NEWNS) != 0) return refused("cannot make a mount namespace");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return refused("cannot make mounts private");
  for (const Bind& b : plan.binds) {
    struct stat held, staged;
    if (mount(b.source.path.c_str(), b.staged.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return refused("cannot stage " + b.source.path);
    if (fstat(b.source.fd.get(), &held) != 0 || stat(b.staged.c_str(), &staged) != 0 || !sameFile(held, staged)) {
      errno = EXDEV;
      return refused(b.source.path + " was changed between its check and its bind");
    }
  }
  return true;
}

// The descriptor FROM at TO, whatever it was before.
bool place(int from, int to) { return from == to || dup2(from, to) == to; }

// The argument vector of bwrap for PLAN.
std::vector<std::string> command(const Request& request, const Plan& plan, const std::vector<std::string>& program) {
  std::vector<std::string> argv = {kLauncher, "--unshare-all", "--unshare-user", "--uid",
                                   kInsideId, "--gid",         kInsideId};
  argv.insert(argv.end(), {"--cap-drop", "ALL", "--die-with-parent", "--new-session", "--seccomp",
                           std::to_string(kFilterFd), "--clearenv", "--ro-bind", "/", "/"});
  // Within a confinement a further one cannot mount a /proc of its own (the
  // kernel refuses to reveal more of one than is visible): it keeps the one
  // it is given, which already shows only the confined processes. Nor can
  // bwrap disable user namespaces there (that writes /proc/sys): the call
  // filter refuses them anyway.
  const bool inside = namedRoot() && activeOn(*namedRoot());
  if (!request.nested && !inside) argv.push_back("--disable-userns");
  if (inside)
    argv.insert(argv.end(), {"--ro-bind", "/proc", "/proc"});
  else
    argv.insert(argv.end(), {"--proc", "/proc", "--ro-bind", "/proc/sys", "/proc/sys"});
  argv.insert(argv.end(), {"--size", kDevBytes, "--tmpfs", "/dev"});
  for (const char* device : {"null", "zero", "full", "random", "urandom", "tty"})
    argv.insert(argv.end(), {"--dev-bind", std::string("/dev/") + device, std::string("/dev/") + device});
  argv.insert(argv.end(), {"--symlink", "/proc/self/fd", "/dev/fd", "--symlink", "/proc/self/fd/0", "/dev/stdin",
                           "--symlink", "/proc/self/fd/1", "/dev/stdout", "--symlink", "/proc/self/fd/2", "/dev/stderr",
                           "--symlink", "pts/ptmx", "/dev/ptmx", "--dir", "/dev/shm"});
  // A hidden folder's stand-in can be passed, not listed.
  for (const std::string& folder : plan.hidden)
    argv.insert(argv.end(), {"--perms", "0111", "--size", kHiddenBytes, "--tmpfs", folder});
  for (const Bind& b : plan.binds)
    argv.insert(argv.end(), {b.writable ? "--bind" : "--ro-bind", b.staged.empty() ? b.source.path : b.staged, b.dest});
  for (const std::string& folder : plan.hidden) argv.insert(argv.end(), {"--remount-ro", folder});
  argv.insert(argv.end(),
              {"--setenv", "PATH", "/usr/bin:/bin", "--setenv", kRootVariable, request.root, "--setenv", "TMPDIR",
               sandbox::temporary(request.root), "--setenv", kPhaseVariable, std::to_string(kPhaseFd)});
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) != nullptr) argv.insert(argv.end(), {"--chdir", cwd});
  argv.insert(argv.end(), {"--", kLimiter});
  const std::vector<std::string> limited = limits(request);
  argv.insert(argv.end(), limited.begin(), limited.end());
  argv.push_back("--");
  argv.insert(argv.end(), program.begin(), program.end());
  return argv;
}

// --- relaying ------------------------------------------------------------------

// BYTES as they may reach the caller's terminal: line ends and tabs kept,
// every other control byte written \xHH, so nothing the program prints can
// move the cursor, rewrite a line or talk to the terminal.
std::string terminalSafe(const char* bytes, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// A signal that would end this program while it waits (Ctrl-C, a kill):
// the confinement is ended first and the staging folder removed, then the
// signal takes its course.
volatile sig_atomic_t stopping = 0;
void stop(int signal) { stopping = signal; }

// Relays the program's stdout and stderr (OUT, ERR) to this process's until
// both close, keeps the last phase it announced on PHASES, and kills CHILD
// (bwrap, and with it the whole confinement) when TIMEOUT seconds are up.
void relay(pid_t child, int out, int err, int phases, unsigned timeout, Outcome& outcome) {
  pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {phases, POLLIN, 0}};
  const double deadline = now() + timeout;
  std::string said;
  for (int open = 3; open > 0;) {
    int wait = -1;
    if (timeout > 0 && !outcome.timedOut) wait = static_cast<int>(std::max(0.0, deadline - now()) * 1000) + 1;
    const int ready = poll(fds, 3, wait);
    if (stopping) kill(child, SIGKILL);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0) {
      kill(child, SIGKILL);
      outcome.timedOut = true;
      continue;
    }
    for (int i = 0; i < 3; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else if (i == 2) {
        said.append(buffer, static_cast<size_t>(n));
        if (said.size() > 256) said.erase(0, said.size() - 256);
      } else {
        const std::string text = terminalSafe(buffer, static_cast<size_t>(n));
        (void)!write(i == 0 ? 1 : 2, text.data(), text.size());
      }
    }
  }
  // The last complete phase, one word.
  if (!said.empty() && said.back() == '\n') said.pop_back();
  outcome.phase = said.substr(said.rfind('\n') == std::string::npos ? 0 : said.rfind('\n') + 1);
}

// The first line of a file of /proc; empty when it is not there.
std::string setting(const char* path) {
  const std::string text = readFile(path).value_or("");
  return text.substr(0, text.find('\n'));
}

}  // namespace

bool machinesRoot() {
  // In the machine's own user namespace every id maps to itself.
  std::istringstream map(setting("/proc/self/uid_map"));
  uint64_t inside = 1, outside = 1, count = 0;
  map >> inside >> outside >> count;
  return geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295u;
}

sandbox::Owner identity() {
  if (machinesRoot()) return {kIdentity, kIdentity};
  return {getuid(), getgid()};
}

bool activeOn(const std::string& root) {
  auto same = [](const char* a, const std::string& b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sameFile(sa, sb);
  };
  auto readOnly = [](const char* path) {
    struct statvfs st;
    return statvfs(path, &st) == 0 && (st.f_flag & ST_RDONLY) != 0;
  };
  // No root to the kernel: not root here, and in a user namespace of its
  // own, whose ids are no longer the machine's.
  const bool ordinary = geteuid() != 0 && setting("/proc/self/uid_map").find("4294967295") == std::string::npos;
  return ordinary && same("/proc/sys/vm/min_free_kbytes", sandbox::kernelSetting(root)) &&
         same("/dev/pts", root + "/dev/pts") && readOnly("/") && readOnly("/proc/sys/kernel");
}

std::optional<std::string> namedRoot() {
  const char* root = getenv(kRootVariable);
  if (root == nullptr || *root == '\0') return std::nullopt;
  return std::string(root);
}

void announce(const char* phase) {
  const char* fd = getenv(kPhaseVariable);
  if (fd == nullptr || atoi(fd) != kPhaseFd) return;
  const std::string line = std::string(phase) + "\n";
  (void)!write(kPhaseFd, line.data(), line.size());
}

bool available(std::string& why) {
  if (access(kLauncher, X_OK) != 0) {
    why = std::string("bwrap is missing: no ") + kLauncher + " (install the package bubblewrap)";
    return false;
  }
  const struct {
    const char* path;
    const char* off;
  } switches[] = {{"/proc/sys/user/max_user_namespaces", "0"},
                  {"/proc/sys/kernel/unprivileged_userns_clone", "0"},
                  {"/proc/sys/kernel/apparmor_restrict_unprivileged_userns", "1"}};
  for (const auto& s : switches) {
    if (setting(s.path) == s.off) {
      why = std::string("user namespaces are off here: ") + s.path + " is " + s.off;
      return false;
    }
  }
  // A trial under the run's identity, with bwrap's first line of complaint.
  const sandbox::Owner owner = identity();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    why = "cannot make a pipe: " + reason();
    return false;
  }
  process::Child child;
  child.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  child.out = child.err = pipeFds[1];
  child.prepare = [&] { return !machinesRoot() || become(owner); };
  const pid_t pid =
      process::start({kLauncher, "--unshare-all", "--unshare-user", "--ro-bind", "/", "/", "--", "/bin/true"}, child);
  close(pipeFds[1]);
  close(child.in);
  char text[512] = {};
  size_t got = 0;
  for (ssize_t n; got < sizeof text - 1 && (n = read(pipeFds[0], text + got, sizeof text - 1 - got)) > 0;)
    got += static_cast<size_t>(n);
  close(pipeFds[0]);
  const int status = process::exitCode(process::wait(pid));
  if (status == 0) return true;
  std::string said(text, got);
  said = said.substr(0, said.find('\n'));
  why = "bwrap cannot set up the namespaces" + (said.empty() ? std::string() : " (" + said + ")");
  return false;
}

std::optional<Outcome> run(const Request& request, const std::vector<std::string>& program, std::string& error) {
  const sandbox::Owner owner = identity();
  const bool asRoot = machinesRoot();
  auto layout = sandbox::prepare(request.root, owner, error);
  if (!layout) return std::nullopt;
  Request resolved = request;
  resolved.root = layout->root.path;
  Plan plan;
  resolved.writable.clear();
  std::vector<Held> writable;
  for (const std::string& folder : request.writable) {
    auto held = sandbox::prepareWritable(folder, owner, error);
    if (!held) return std::nullopt;
    resolved.writable.push_back(held->path);
    writable.push_back(std::move(*held));
  }
  planReach(resolved, owner, plan, error);
  if (!error.empty()) return std::nullopt;
  // The sandbox and the output folders, then the two files over the machine's.
  const std::string rootPath = layout->root.path;
  plan.binds.push_back({std::move(layout->root), rootPath, true, ""});
  for (Held& folder : writable) {
    const std::string path = folder.path;
    plan.binds.push_back({std::move(folder), path, true, ""});
  }
  plan.binds.push_back({std::move(layout->setting), "/proc/sys/vm/min_free_kbytes", true, ""});
  plan.binds.push_back({std::move(layout->terminals), "/dev/pts", true, ""});
  if (asRoot && !makeStage(plan, error)) {
    removeStage(plan);
    return std::nullopt;
  }
  // The lock stays with this process for the run: the root's descriptor is
  // bound, not closed, until the plan goes.
  const std::optional<std::string> filter = callFilter(request.nested, error);
  if (!filter) {
    removeStage(plan);
    return std::nullopt;
  }
  int out[2], err[2], phases[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(phases, O_CLOEXEC) != 0) {
    error = "cannot make pipes for the confinement: " + reason();
    removeStage(plan);
    return std::nullopt;
  }
  process::Child child;
  child.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  child.out = out[1];
  child.err = err[1];
  child.prepare = [&] {
    if (asRoot && !stage(plan)) return false;
    if (asRoot && !become(owner)) return refused("cannot become uid " + std::to_string(owner.uid));
    // The filter and the phase pipe on their numbers; every other
    // descriptor closed, as one of a folder outside would be a way out.
    int filterPipe[2];
    const ssize_t size = static_cast<ssize_t>(filter->size());
    if (pipe(filterPipe) != 0 || write(filterPipe[1], filter->data(), filter->size()) != size)
      return refused("no call filter");
    const int filterFd = fcntl(filterPipe[0], F_DUPFD, 16), phaseFd = fcntl(phases[1], F_DUPFD, 16);
    if (filterFd < 0 || phaseFd < 0 || !place(filterFd, kFilterFd) || !place(phaseFd, kPhaseFd))
      return refused("cannot place descriptors");
    if (close_range(kPhaseFd + 1, ~0u, 0) != 0)
      for (int fd = kPhaseFd + 1; fd < 1024; ++fd) close(fd);
    return true;
  };
  struct sigaction quit = {}, before[3];
  quit.sa_handler = stop;
  const int quits[] = {SIGINT, SIGTERM, SIGHUP};
  for (int i = 0; i < 3; ++i)
    if (sigaction(quits[i], nullptr, &before[i]) == 0 && before[i].sa_handler != SIG_IGN)
      sigaction(quits[i], &quit, nullptr);
  const pid_t pid = process::start(command(resolved, plan, program), child);
  for (int fd : {child.in, out[1], err[1], phases[1]}) close(fd);
  Outcome outcome;
  if (pid > 0) relay(pid, out[0], err[0], phases[0], request.timeout, outcome);
  outcome.status = pid > 0 ? process::exitCode(process::wait(pid)) : 127;
  removeStage(plan);
  for (int i = 0; i < 3; ++i) sigaction(quits[i], &before[i], nullptr);
  if (stopping) raise(stopping);
  return outcome;
}

std::string describe(const Outcome& outcome, unsigned timeout) {
  const std::string where = outcome.phase.empty() ? "" : " " + outcome.phase;
  if (outcome.timedOut)
    return "the run took longer than its limit of " + std::to_string(timeout) + " s" + where +
           "; the confinement was killed";
  // bwrap reports a signal by the machine's number, which a program built
  // for the device numbers otherwise: the names of the machines above.
  static const char* const kSignals[] = {"HUP",  "INT",    "QUIT", "ILL",   "TRAP", "ABRT", "BUS",  "FPE",
                                         "KILL", "USR1",   "SEGV", "USR2",  "PIPE", "ALRM", "TERM", "STKFLT",
                                         "CHLD", "CONT",   "STOP", "TSTP",  "TTIN", "TTOU", "URG",  "XCPU",
                                         "XFSZ", "VTALRM", "PROF", "WINCH", "IO",   "PWR",  "SYS"};
  const int signal = outcome.status - 128;
  if (signal < 1 || signal > static_cast<int>(std::size(kSignals))) return "";
  return std::string("the run was ended by the signal SIG") + kSignals[signal - 1] + where;
}

int runToEnd(Request request, const std::vector<std::string>& program, const std::string& who) {
  std::string error;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) != nullptr) request.reach.push_back(cwd);
  std::optional<Outcome> outcome;
  if (!available(error))
    error = "cannot confine the module: " + error;
  else
    outcome = run(request, program, error);
  const std::string ended = outcome ? describe(*outcome, request.timeout) : error;
  if (!ended.empty()) fprintf(stderr, "%s: %s\n", who.c_str(), ended.c_str());
  return !outcome ? 1 : outcome->timedOut ? 124 : outcome->status;
}

}  // namespace sim::confinement
