#include "confine.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "call_filter.h"
#include "caller.h"
#include "cgroup.h"
#include "file.h"
#include "folder.h"
#include "layout.h"
#include "process.h"
#include "run_limits.h"

namespace sim::confine {
namespace {

constexpr char kLauncher[] = "/usr/bin/bwrap";
constexpr char kLimiter[] = "/usr/bin/prlimit";
// The hints a confinement leaves its program (inside::own, announce, channel).
constexpr char kOwnVariable[] = "STEADYFLOW_INSIDE";
constexpr char kChannelsVariable[] = "STEADYFLOW_CHANNELS";
constexpr char kPhaseVariable[] = "STEADYFLOW_PHASE_FD";
constexpr char kMemoryVariable[] = "STEADYFLOW_MEMORY_CAP";
// Inside, the program is an ordinary user with this id (its identity outside).
constexpr char kInsideId[] = "1000";
// The descriptors of a run: the call filter bwrap reads, the phases, the
// channels, then the empty data bwrap makes the kernel setting and each
// terminal from.
constexpr int kFilterFd = 3, kPhaseFd = 4, kInputFd = 5, kRecordsFd = 6, kDiskFd = 7, kKernelDataFd = 9,
              kTerminalDataFd = 10;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STEADYFLOW_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(STEADYFLOW_ASAN)
constexpr bool kLimitData = false;
#else
constexpr bool kLimitData = true;
#endif

std::string reason() { return strerror(errno); }

// --- what is bound ------------------------------------------------------------

// A file or folder of the caller's bound into the run, held open from its
// check to its bind, and where a run as root put it for bwrap to find.
struct Bind {
  std::string path;  // absolute, resolved: its place outside and inside
  int fd;            // O_PATH, never through a link
  bool writable;
  std::string staged;
  std::string dest;  // where it goes inside, when not at PATH
};

struct Plan {
  std::vector<Bind> binds;  // parents before what lies in them
  std::string stage;        // a run as root: the folder holding the staged binds
  std::string kernelFile;   // a run that confines its own: its kernel setting's stand-in
  ~Plan() {
    for (const Bind& b : binds) close(b.fd);
    if (kernelFile.empty()) return;
    unlink(kernelFile.c_str());
    rmdir(kernelFile.substr(0, kernelFile.rfind('/')).c_str());
  }
};

// The kernel setting's stand-in for a run that confines programs of its own:
// a file of the caller's, in a folder only the caller may enter, given to
// the run's identity. (Stand-ins bwrap makes itself cannot be bound over
// again by a confinement nested in the run.)
bool planKernelFile(const Ids& ids, Plan& plan, std::string& error) {
  std::string folder = "/tmp/steadyflow-kernel-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    error = "cannot make a folder in /tmp: " + reason();
    return false;
  }
  plan.kernelFile = folder + "/min_free_kbytes";
  const int made = open(plan.kernelFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const bool owned = made >= 0 && fchown(made, ids.uid, ids.gid) == 0;
  if (made >= 0) close(made);
  const int held = owned ? open(plan.kernelFile.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
  if (held < 0) {
    error = "cannot make " + plan.kernelFile + ": " + reason();
    return false;
  }
  plan.binds.push_back({plan.kernelFile, held, true, "", layout::kKernelSetting});
  return true;
}

// Hands IDS what root left below the folder DIR, never following a link: a
// file with more than one name keeps its owner, since another name may
// stand elsewhere.
void adopt(int dir, const Ids& ids) {
  for (const std::string& name : folder::names(dir)) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_uid == 0 && (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink == 1)))
      (void)fchownat(dir, name.c_str(), ids.uid, ids.gid, AT_SYMLINK_NOFOLLOW);
    if (!S_ISDIR(st.st_mode)) continue;
    const int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) adopt(sub, ids);
    if (sub >= 0) close(sub);
  }
}

// Hands the output folder at PATH (held as FD) to IDS, with what root left
// in it; one of another user's is refused.
bool handOver(int fd, const std::string& path, const Ids& ids, std::string& error) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = path + ": no folder to write";
    return false;
  }
  if (st.st_uid != ids.uid && !(st.st_uid == 0 && fchownat(fd, "", ids.uid, ids.gid, AT_EMPTY_PATH) == 0)) {
    error = path + ": belongs to uid " + std::to_string(st.st_uid) + ", not to the run's identity (uid " +
            std::to_string(ids.uid) + ")";
    return false;
  }
  const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder >= 0 && caller().machineRoot()) adopt(folder, ids);
  if (folder >= 0) close(folder);
  return true;
}

bool planBinds(const Request& request, const Ids& ids, Plan& plan, std::string& error) {
  std::vector<std::pair<std::string, bool>> wanted;
  for (const auto& [paths, writable] : {std::pair{&request.reach, false}, std::pair{&request.writable, true}})
    for (const std::string& path : *paths) {
      char resolved[PATH_MAX];
      if (path.empty() || realpath(path.c_str(), resolved) == nullptr) continue;
      if (strcmp(resolved, "/") == 0) {
        error = "the whole tree is never bound into a run (" + path + ")";
        return false;
      }
      wanted.push_back({resolved, writable});
    }
  // What lies in a writable folder is bound with it, never read-only over it.
  std::vector<std::pair<std::string, bool>> kept;
  for (const auto& w : wanted)
    if (w.second || std::none_of(wanted.begin(), wanted.end(),
                                 [&](const auto& o) { return o.second && folder::within(w.first, o.first); }))
      kept.push_back(w);
  wanted = std::move(kept);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(
      std::unique(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
      wanted.end());
  for (const auto& [path, writable] : wanted) {
    const int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot hand " + path + " to the confinement: " + reason();
      return false;
    }
    plan.binds.push_back({path, fd, writable, "", ""});
    if (writable && !handOver(fd, path, ids, error)) return false;
  }
  return true;
}

// --- a run as root: the binds staged -------------------------------------------

// bwrap runs as the run's identity, which may not pass the way to what is
// bound (a checkout in root's home), and binds what a path names when it
// binds. So a run as root puts each bind in a private mount namespace of its
// own at a place only root can change (a folder in the sticky /tmp), proves
// there it is the very file held since its check, and hands bwrap that place.
constexpr char kStagePrefix[] = "/tmp/steadyflow-stage-";

// Removes what a run that was killed left: root's staging folders whose
// process is gone, each holding only the empty places of its binds.
void removeStaleStages() {
  DIR* tmp = opendir("/tmp");
  if (tmp == nullptr) return;
  const std::string prefix = std::string(kStagePrefix).substr(5);
  while (dirent* e = readdir(tmp)) {
    const std::string name = e->d_name, folder = "/tmp/" + name;
    struct stat st;
    if (name.compare(0, prefix.size(), prefix) != 0 || lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != 0)
      continue;
    const pid_t pid = static_cast<pid_t>(atol(name.c_str() + prefix.size()));
    if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
    for (int i = 0; i < 256; ++i) remove((folder + "/" + std::to_string(i)).c_str());
    rmdir(folder.c_str());
  }
  closedir(tmp);
}

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
    const bool folder = fstat(b.fd, &st) == 0 && S_ISDIR(st.st_mode);
    const int made =
        folder ? mkdir(b.staged.c_str(), 0700) : open(b.staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made < 0) {
      error = "cannot make " + b.staged + ": " + reason();
      return false;
    }
    if (!folder) close(made);
  }
  return true;
}

void removeStage(const Plan& plan) {
  if (plan.stage.empty()) return;
  for (const Bind& b : plan.binds) remove(b.staged.c_str());
  rmdir(plan.stage.c_str());
}

// In the child, as root: each bind mounted on its staged place in a private
// mount namespace and proven there to be the file held since its check.
bool stage(const Plan& plan, std::string& error) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    error = "cannot make a private mount namespace: " + reason();
    return false;
  }
  for (const Bind& b : plan.binds) {
    struct stat held, staged;
    if (mount(b.path.c_str(), b.staged.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error = "cannot stage " + b.path + ": " + reason();
      return false;
    }
    if (fstat(b.fd, &held) != 0 || stat(b.staged.c_str(), &staged) != 0 || held.st_dev != staged.st_dev ||
        held.st_ino != staged.st_ino) {
      error = b.path + " was changed between its check and its bind";
      return false;
    }
  }
  return true;
}

// In the child, as the machine's root: the run's ids and no supplementary
// groups, for good.
bool become(const Ids& ids, std::string& error) {
  if (setgroups(0, nullptr) == 0 && setresgid(ids.gid, ids.gid, ids.gid) == 0 &&
      setresuid(ids.uid, ids.uid, ids.uid) == 0)
    return true;
  error = "cannot become uid " + std::to_string(ids.uid) + ": " + reason();
  return false;
}

// --- the command ----------------------------------------------------------------

// The writable private memory the run may hold.
uint64_t dataLimit(const Request& request) { return request.dataBytes ? request.dataBytes : limits::kDataBytes; }

std::vector<std::string> limitsFor(const Request& request) {
  std::vector<std::string> argv = {kLimiter, "--nproc=" + std::to_string(limits::kProcesses),
                                   "--nofile=" + std::to_string(limits::kOpenFiles),
                                   "--fsize=" + std::to_string(limits::kFileBytes), "--core=0"};
  if (kLimitData) argv.push_back("--data=" + std::to_string(dataLimit(request)));
  argv.push_back("--");
  return argv;
}

// The system's programs and libraries: /usr, the top folders that lead
// into it (links on a merged /usr), and the loader's cache.
void addSystem(std::vector<std::string>& argv) {
  argv.insert(argv.end(), {"--ro-bind", "/usr", "/usr"});
  for (const char* top : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
    // Looked at through /proc/self/root, a name qemu-mipsel -L leaves alone:
    // it answers for "/lib" with its sysroot's.
    const std::string machine = std::string("/proc/self/root") + top;
    struct stat st;
    if (lstat(machine.c_str(), &st) != 0) continue;
    char target[PATH_MAX] = {};
    if (S_ISLNK(st.st_mode) && readlink(machine.c_str(), target, sizeof target - 1) > 0)
      argv.insert(argv.end(), {"--symlink", target, top});
    else if (S_ISDIR(st.st_mode))
      argv.insert(argv.end(), {"--ro-bind", top, top});
  }
  for (const char* file : {"/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d", "/etc/alternatives"})
    argv.insert(argv.end(), {"--ro-bind-try", file, file});
}

std::string under(const char* folder, const char* name) { return std::string(folder) + "/" + name; }

std::vector<std::string> command(const Request& request, const Plan& plan, const std::string& cwd, uint64_t memoryCap) {
  std::vector<std::string> argv = {kLauncher,
                                   "--unshare-all",
                                   "--unshare-user",
                                   "--uid",
                                   kInsideId,
                                   "--gid",
                                   kInsideId,
                                   "--cap-drop",
                                   "ALL",
                                   "--die-with-parent",
                                   "--new-session",
                                   "--seccomp",
                                   std::to_string(kFilterFd),
                                   "--clearenv"};
  addSystem(argv);
  // Within a confinement a further one cannot mount a /proc of its own (the
  // kernel refuses to reveal more of one than is visible) nor disable user
  // namespaces (that writes /proc/sys): it keeps the /proc it is given,
  // which shows only the confined processes, and the call filter refuses
  // new user namespaces anyway.
  const bool nestedHere = inside::confined();
  if (!request.nested && !nestedHere) argv.push_back("--disable-userns");
  if (nestedHere)
    argv.insert(argv.end(), {"--ro-bind", "/proc", "/proc"});
  else
    argv.insert(argv.end(), {"--proc", "/proc", "--ro-bind", "/proc/sys", "/proc/sys"});
  if (plan.kernelFile.empty())
    argv.insert(argv.end(), {"--bind-data", std::to_string(kKernelDataFd), layout::kKernelSetting});
  argv.insert(argv.end(), {"--size", std::to_string(limits::kDevBytes), "--tmpfs", "/dev"});
  for (const char* device : {"null", "zero", "full", "random", "urandom", "tty"})
    argv.insert(argv.end(), {"--dev-bind", under("/dev", device), under("/dev", device)});
  argv.insert(argv.end(),
              {"--symlink", "/proc/self/fd", "/dev/fd", "--symlink", "/proc/self/fd/0", "/dev/stdin", "--symlink",
               "/proc/self/fd/1", "/dev/stdout", "--symlink", "/proc/self/fd/2", "/dev/stderr", "--dir", "/dev/shm"});
  argv.insert(argv.end(), {"--size", std::to_string(limits::kTerminalBytes), "--tmpfs", layout::kTerminals});
  for (size_t i = 0; i < request.terminals.size(); ++i)
    argv.insert(argv.end(), {"--file", std::to_string(kTerminalDataFd + static_cast<int>(i)),
                             std::string(layout::kTerminals) + "/" + std::to_string(request.terminals[i])});
  const std::string disk = under(layout::kRoom, layout::kDisk), scratch = under(layout::kRoom, layout::kScratch);
  argv.insert(argv.end(),
              {"--size", std::to_string(limits::kDiskBytes), "--tmpfs", disk, "--dir", disk + "/ProgramFiles", "--size",
               std::to_string(limits::kScratchBytes), "--tmpfs", scratch});
  for (const Bind& b : plan.binds)
    argv.insert(argv.end(), {b.writable ? "--bind" : "--ro-bind", b.staged.empty() ? b.path : b.staged,
                             b.dest.empty() ? b.path : b.dest});
  // An empty /tmp, over which a confinement nested in this one puts its own.
  argv.insert(argv.end(), {"--dir", "/tmp"});
  if (!cwd.empty()) argv.insert(argv.end(), {"--dir", cwd, "--chdir", cwd});
  argv.insert(argv.end(), {"--remount-ro", "/"});
  argv.insert(argv.end(), {"--setenv", "PATH", "/usr/bin:/bin", "--setenv", "TMPDIR", scratch, "--setenv", kOwnVariable,
                           "1", "--setenv", kPhaseVariable, std::to_string(kPhaseFd)});
  if (request.input) argv.insert(argv.end(), {"--setenv", kChannelsVariable, "1"});
  // Told, not trusted: a program learns what holds its memory.
  if (memoryCap > 0) argv.insert(argv.end(), {"--setenv", kMemoryVariable, std::to_string(memoryCap)});
  argv.push_back("--");
  const std::vector<std::string> limited = limitsFor(request);
  argv.insert(argv.end(), limited.begin(), limited.end());
  argv.insert(argv.end(), request.program.begin(), request.program.end());
  return argv;
}

// --- the child's descriptors -----------------------------------------------------

// In the child about to exec: each of FROM at its number in TO, every other
// descriptor past them closed, as one of a folder outside would be a way out.
bool placeDescriptors(const std::vector<std::pair<int, int>>& wanted, std::string& error) {
  std::vector<std::pair<int, int>> moved;
  for (const auto& [from, to] : wanted) {
    const int high = fcntl(from, F_DUPFD, 64);
    if (high < 0) {
      error = "cannot place descriptors: " + reason();
      return false;
    }
    moved.push_back({high, to});
  }
  int last = 2;
  for (const auto& [high, to] : moved) {
    if (dup2(high, to) != to) {
      error = "cannot place descriptors: " + reason();
      return false;
    }
    last = std::max(last, to);
  }
  for (int fd = 3; fd < last; ++fd)
    if (std::none_of(moved.begin(), moved.end(), [fd](const auto& m) { return m.second == fd; })) close(fd);
  if (close_range(static_cast<unsigned>(last) + 1, ~0u, 0) != 0)
    for (int fd = last + 1; fd < 1024; ++fd) close(fd);
  return true;
}

// A pipe, both ends closed on exec; -1s when none could be made.
struct Pipe {
  int read = -1, write = -1;
  bool make() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read = fds[0];
    write = fds[1];
    return true;
  }
};

std::string currentFolder() {
  char cwd[PATH_MAX];
  return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
}

}  // namespace

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
    const std::string text = readFile(s.path).value_or("");
    if (text.substr(0, text.find('\n')) == s.off) {
      why = std::string("user namespaces are off here: ") + s.path + " is " + s.off;
      return false;
    }
  }
  if (!callFilter(false, why)) return false;
  // A trial under the run's identity, with bwrap's first line of complaint.
  const bool asRoot = caller().machineRoot();
  const Ids ids = runIdentity();
  Pipe said;
  if (!said.make()) {
    why = "cannot make a pipe: " + reason();
    return false;
  }
  process::Child child;
  child.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  child.out = child.err = said.write;
  child.prepare = [&] {
    std::string ignored;
    return !asRoot || become(ids, ignored);
  };
  std::vector<std::string> argv = {kLauncher, "--unshare-all", "--unshare-user"};
  addSystem(argv);
  argv.insert(argv.end(), {"--", "/usr/bin/true"});
  const pid_t pid = process::start(argv, child);
  close(said.write);
  close(child.in);
  char text[512] = {};
  size_t got = 0;
  for (ssize_t n; got < sizeof text - 1 && (n = read(said.read, text + got, sizeof text - 1 - got)) > 0;)
    got += static_cast<size_t>(n);
  close(said.read);
  if (process::exitCode(process::wait(pid)) == 0) return true;
  std::string first(text, got);
  first = first.substr(0, first.find('\n'));
  why = "bwrap cannot set up the namespaces" + (first.empty() ? std::string() : " (" + first + ")");
  return false;
}

std::optional<Outcome> run(const Request& request, std::string& error) {
  const std::optional<std::string> filter = callFilter(request.nested, error);
  if (!filter) return std::nullopt;
  const bool asRoot = caller().machineRoot();
  const Ids ids = runIdentity(!request.writable.empty());
  Plan plan;
  if (!planBinds(request, ids, plan, error) || (request.nested && !planKernelFile(ids, plan, error)))
    return std::nullopt;
  if (asRoot && !makeStage(plan, error)) {
    removeStage(plan);
    return std::nullopt;
  }
  std::string noGroup;
  const uint64_t memoryCap = dataLimit(request) + limits::kMemoryBytes - limits::kDataBytes;
  const std::optional<MemoryGroup> group = MemoryGroup::make(memoryCap, noGroup);

  Pipe out, err, phases, records, disk, failure;
  int input = -1;
  const bool channels = request.input.has_value();
  bool made = out.make() && err.make() && phases.make() && failure.make();
  if (channels) {
    made = made && records.make() && disk.make();
    input = memfd_create("steadyflow-input", MFD_CLOEXEC);
    made = made && input >= 0 &&
           write(input, request.input->data(), request.input->size()) == static_cast<ssize_t>(request.input->size()) &&
           lseek(input, 0, SEEK_SET) == 0;
  }
  if (!made) {
    error = "cannot make the confinement's channels: " + reason();
    removeStage(plan);
    return std::nullopt;
  }
  const std::vector<std::string> argv = command(request, plan, currentFolder(), group ? memoryCap : 0);
  process::Child child;
  child.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  child.out = out.write;
  child.err = err.write;
  const int failureEnd = failure.write;
  child.prepare = [&] {
    // The child's complaint goes back on its own pipe, never to the caller's
    // terminal.
    std::string why;
    auto refused = [&] {
      (void)!write(failureEnd, why.data(), why.size());
      return false;
    };
    if (asRoot && !stage(plan, why)) return refused();
    if (group && !group->enter()) {
      why = "cannot enter the run's memory cgroup: " + reason();
      return refused();
    }
    if (asRoot && !become(ids, why)) return refused();
    Pipe filterPipe;
    if (!filterPipe.make() ||
        write(filterPipe.write, filter->data(), filter->size()) != static_cast<ssize_t>(filter->size())) {
      why = "cannot hand bwrap the call filter";
      return refused();
    }
    close(filterPipe.write);
    std::vector<std::pair<int, int>> wanted = {{filterPipe.read, kFilterFd},
                                               {phases.write, kPhaseFd},
                                               {open("/dev/null", O_RDONLY | O_CLOEXEC), kKernelDataFd}};
    if (channels) wanted.insert(wanted.end(), {{input, kInputFd}, {records.write, kRecordsFd}, {disk.write, kDiskFd}});
    for (size_t i = 0; i < request.terminals.size(); ++i)
      wanted.push_back({open("/dev/null", O_RDONLY | O_CLOEXEC), kTerminalDataFd + static_cast<int>(i)});
    return placeDescriptors(wanted, why) || refused();
  };
  const pid_t pid = process::start(argv, child);
  for (int fd : {child.in, out.write, err.write, phases.write, records.write, disk.write, failure.write, input})
    if (fd >= 0) close(fd);
  Outcome outcome;
  Relayed relayed;
  if (pid > 0)
    relayed = relay(pid, {out.read, err.read, phases.read, records.read, disk.read}, request.output, request.timeout);
  const int status = pid > 0 ? process::wait(pid) : -1;
  char why[512] = {};
  const ssize_t said = read(failure.read, why, sizeof why - 1);
  close(failure.read);
  removeStage(plan);
  if (said > 0) {
    error = std::string("cannot confine the run: ") + why;
    return std::nullopt;
  }
  outcome.status = pid > 0 ? process::exitCode(status) : 127;
  outcome.timedOut = relayed.timedOut;
  outcome.phase = relayed.phase;
  outcome.records = std::move(relayed.records);
  outcome.disk = std::move(relayed.disk);
  outcome.capped = relayed.capped;
  outcome.outputCapped = relayed.outputCapped;
  outcome.memoryExhausted = group && group->exhausted();
  if (relayed.stopSignal) raise(relayed.stopSignal);
  return outcome;
}

std::string describe(const Outcome& outcome, unsigned timeout) {
  const std::string phase = phaseText(outcome.phase);
  const std::string where = phase.empty() ? "" : " " + phase;
  if (outcome.timedOut)
    return "the run took longer than its limit of " + std::to_string(timeout) + " s" + where +
           "; the confinement was killed";
  if (!outcome.capped.empty())
    return "the run gave more than its cap on " + outcome.capped + where + "; the confinement was killed";
  if (outcome.memoryExhausted && outcome.status > 128)
    return "the run passed its memory cap of " + std::to_string(limits::kMemoryBytes >> 20) + " MiB" + where +
           "; the kernel killed in it";
  // bwrap reports a signal by the machine's number, which a program built
  // for the device numbers otherwise: the names of the machine's.
  static const char* const kSignals[] = {"HUP",  "INT",    "QUIT", "ILL",   "TRAP", "ABRT", "BUS",  "FPE",
                                         "KILL", "USR1",   "SEGV", "USR2",  "PIPE", "ALRM", "TERM", "STKFLT",
                                         "CHLD", "CONT",   "STOP", "TSTP",  "TTIN", "TTOU", "URG",  "XCPU",
                                         "XFSZ", "VTALRM", "PROF", "WINCH", "IO",   "PWR",  "SYS"};
  const int signal = outcome.status - 128;
  if (signal < 1 || signal > static_cast<int>(std::size(kSignals))) return "";
  return std::string("the run was ended by the signal SIG") + kSignals[signal - 1] + where;
}

int runToEnd(const Request& request, const std::string& who) {
  std::string error;
  std::optional<Outcome> outcome;
  if (!available(error))
    error = "cannot confine the run: " + error;
  else
    outcome = run(request, error);
  if (outcome && outcome->outputCapped)
    fprintf(stderr, "%s: the run's output passed its cap of %zu bytes; the rest was not shown\n", who.c_str(),
            limits::kOutputBytes);
  const std::string ended = outcome ? describe(*outcome, request.timeout) : error;
  if (!ended.empty()) fprintf(stderr, "%s: %s\n", who.c_str(), ended.c_str());
  if (!outcome) return 1;
  if (outcome->timedOut) return 124;
  return outcome->capped.empty() ? outcome->status : 1;
}

namespace inside {
namespace {

// Whether PATH lies on a stand-in: no file system of the kernel's own
// (procfs, devpts).
bool standIn(const char* path) {
  struct statfs st;
  return statfs(path, &st) == 0 && st.f_type != PROC_SUPER_MAGIC && st.f_type != DEVPTS_SUPER_MAGIC;
}

// The hint, taken once: the variables go from this process's environment,
// so that its own children (a confined devsim a test runs) do not take
// themselves for it.
struct Hints {
  bool own = false, channels = false;
  int phaseFd = -1;
};
const Hints& hints() {
  static const Hints taken = [] {
    Hints h;
    h.own = getenv(kOwnVariable) != nullptr;
    h.channels = getenv(kChannelsVariable) != nullptr;
    if (const char* fd = getenv(kPhaseVariable); fd != nullptr && atoi(fd) == kPhaseFd) h.phaseFd = kPhaseFd;
    for (const char* name : {kOwnVariable, kChannelsVariable, kPhaseVariable}) unsetenv(name);
    return h;
  }();
  return taken;
}

}  // namespace

bool confined() {
  const Caller c = caller();
  struct statvfs root;
  return !c.root && !c.machineNamespace && statvfs("/", &root) == 0 && (root.f_flag & ST_RDONLY) != 0 &&
         standIn(layout::kKernelSetting) && standIn(layout::kTerminals);
}

bool own(const char* program) {
  if (!hints().own) return false;
  if (confined()) return true;
  fprintf(stderr, "%s: the confinement the environment names is not in effect here; nothing runs unconfined\n",
          program);
  exit(1);
}

void announce(Phase phase) {
  if (hints().phaseFd < 0) return;
  const auto code = static_cast<char>(phase);
  (void)!write(hints().phaseFd, &code, 1);
}

int channel(Channel which) {
  if (!hints().channels) return -1;
  const int fd = which == Channel::Input ? kInputFd : which == Channel::Records ? kRecordsFd : kDiskFd;
  return fcntl(fd, F_GETFD) >= 0 ? fd : -1;
}

}  // namespace inside

}  // namespace sim::confine
