// A hostile module, for the tests of the confinement only. It carries the
// identity header, so devsim loads it, and its TAP_Main tries every route it
// knows from its sandbox to the machine, printing one line for each:
//   hostile ROUTE: sandbox           it wrote, and the sandbox's own file got it
//   hostile ROUTE: refused (WHY)     the kernel refused
//   hostile ROUTE: ESCAPED (WHAT)    it reached something outside the sandbox
//   hostile ROUTE: tried (WHAT)      it did what only its caller can judge
// It never writes what it has not checked first: a kernel setting or terminal
// is opened for writing, compared with the run's stand-in, and written only
// when it is that file; what it opens elsewhere it closes unwritten, and what
// it makes elsewhere it removes again. It tries nothing at all unless its
// process is confined: its kernel setting and terminals stand-ins, its tree
// read-only.
//
// The places outside its room it aims at, besides the machine's own, are
// lines NAME=VALUE of the file hostile-aims on its disk (the confinement
// hands it no environment of its caller's):
//   outside  a folder holding the files "keep" and "victim"
//   sandbox  the sandbox folder devsim was given (its disk comes in a copy)
//   other    another run's sandbox, holding disk/secret
//   cwd      devsim's working folder, holding the file secret
//   pid      a process outside its confinement, as its /proc would name it
//   port     a TCP port listening on 127.0.0.1 outside
//   dgram    a unix datagram socket listening outside
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

#include "layout.h"
#include "tapheader.h"

TAP_IDENTITY("Jan 1 2026", "tries every way out", "tests", "V0", "hostile V0", 2, TAP_HEADER_MAGIC)

namespace {

constexpr char kSetting[] = "/proc/sys/vm/min_free_kbytes";
constexpr char kTerminal[] = "/dev/pts/0";

struct Text {
  char s[4096];
};

__attribute__((format(printf, 1, 2))) Text text(const char* format, ...) {
  Text t;
  va_list args;
  va_start(args, format);
  vsnprintf(t.s, sizeof t.s, format, args);
  va_end(args);
  return t;
}

const char* env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// A path in the run's room (its disk, its scratch folder).
Text inRoom(const char* relative) { return text("%s/%s", sim::layout::kRoom, relative); }

// The value of NAME in the disk's hostile-aims file; empty when not given.
Text aim(const char* name) {
  Text value = {};
  char file[4096] = {};
  const int fd = open(inRoom("disk/hostile-aims").s, O_RDONLY);
  const ssize_t n = fd >= 0 ? read(fd, file, sizeof file - 1) : -1;
  if (fd >= 0) close(fd);
  const size_t length = strlen(name);
  for (char* line = file; n > 0 && line != nullptr && *line != '\0';) {
    char* end = strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    if (strncmp(line, name, length) == 0 && line[length] == '=')
      snprintf(value.s, sizeof value.s, "%s", line + length + 1);
    line = end != nullptr ? end + 1 : nullptr;
  }
  return value;
}

Text outside(const char* name) { return text("%s/%s", aim("outside").s, name); }

void report(const char* route, const char* outcome, const char* detail) {
  printf("hostile %s: %s (%s)\n", route, outcome, detail);
  fflush(stdout);
}
void refused(const char* route, int error) { report(route, "refused", strerror(error)); }
void escaped(const char* route, const char* what) { report(route, "ESCAPED", what); }

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The run's stand-ins for the kernel setting and the terminal, as they were
// when the module started.
struct stat standIns[2];
bool isStandIn(int fd, const char* path) {
  struct stat a;
  return fstat(fd, &a) == 0 && sameFile(a, standIns[path == kSetting ? 0 : 1]);
}

bool exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

// Whether this process runs confined: the kernel setting and the terminals
// are stand-ins (no procfs, no devpts), and the tree is read-only.
bool confined() {
  struct statfs setting, terminals;
  struct statvfs root;
  return statfs(kSetting, &setting) == 0 && setting.f_type != PROC_SUPER_MAGIC && statfs("/dev/pts", &terminals) == 0 &&
         terminals.f_type != DEVPTS_SUPER_MAGIC && statvfs("/", &root) == 0 && (root.f_flag & ST_RDONLY) != 0 &&
         stat(kSetting, &standIns[0]) == 0 && stat(kTerminal, &standIns[1]) == 0;
}

// The stand-in PATH must end with BYTES (or hold just them).
void landed(const char* route, const char* path, const char* bytes, bool whole) {
  char held[4096] = {};
  const int fd = open(path, O_RDONLY);
  const ssize_t n = fd >= 0 ? read(fd, held, sizeof held - 1) : -1;
  if (fd >= 0) close(fd);
  const size_t length = strlen(bytes);
  const bool ok = n >= 0 && static_cast<size_t>(n) >= length && (!whole || static_cast<size_t>(n) == length) &&
                  memcmp(held + n - length, bytes, length) == 0;
  if (ok)
    report(route, "sandbox", path);
  else
    escaped(route, "written, but not to the run's stand-in");
}

int nextValue = 4444;

// Writes through PATH, which must be the run's kernel setting (SETTING) or
// its terminal; anything else is left unwritten.
void intoSandbox(const char* route, const char* path, bool setting) {
  const char* standIn = setting ? kSetting : kTerminal;
  const int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return refused(route, errno);
  if (!isStandIn(fd, standIn)) {
    close(fd);
    return escaped(route, "opened a file not the run's stand-in for writing; left unwritten");
  }
  const Text bytes = setting ? text("%d\n", nextValue++) : text("%s\n", route);
  if (setting)
    (void)!ftruncate(fd, 0);
  else
    lseek(fd, 0, SEEK_END);
  const bool wrote = write(fd, bytes.s, strlen(bytes.s)) == static_cast<ssize_t>(strlen(bytes.s));
  close(fd);
  if (!wrote) return refused(route, errno);
  landed(route, standIn, bytes.s, setting);
}

// The kernel setting written by the shell COMMAND (its %d the value), once
// the path it names is known to be the sandbox's.
__attribute__((format(printf, 2, 0))) void settingByShell(const char* route, const char* command) {
  const int fd = open("/proc/sys/vm/min_free_kbytes", O_WRONLY);
  const bool checked = fd >= 0 && isStandIn(fd, kSetting);
  if (fd >= 0) close(fd);
  if (!checked) return escaped(route, "the setting is not the run's stand-in; the shell was not run");
  const int value = nextValue++;
  const int status = system(text(command, value).s);
  if (status != 0) return report(route, "refused", text("shell status %d", status).s);
  landed(route, kSetting, text("%d\n", value).s, true);
}

// PATH must not open for writing; FLAGS with O_CREAT asks for a new file,
// removed again if it is made.
void mustNotOpen(const char* route, const char* path, int flags = O_WRONLY) {
  const int fd = open(path, flags | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return refused(route, errno);
  close(fd);
  if (flags & O_CREAT) unlink(path);
  escaped(route, "opened for writing");
}
void mustNotCreate(const char* route, const char* folder) {
  mustNotOpen(route, text("%s/hostile-new-%d", folder, getpid()).s, O_WRONLY | O_CREAT | O_EXCL);
}

// A call that must fail: RESULT is what it answered.
void mustFail(const char* route, long result) {
  if (result < 0)
    refused(route, errno);
  else
    escaped(route, "the call succeeded");
}

void mustNotJoin(const char* route, const char* nsPath) {
  const int fd = open(nsPath, O_RDONLY);
  if (fd < 0) return refused(route, errno);
  const int result = setns(fd, 0);
  const int error = errno;
  close(fd);
  errno = error;
  mustFail(route, result);
}

// A shell COMMAND that must fail, leaving ABSENT missing and PRESENT there.
void shellMustFail(const char* route, const char* command, const char* absent, const char* present) {
  if (present != nullptr && !exists(present)) return report(route, "refused", "not in view");
  const int status = system(command);
  if (absent != nullptr && exists(absent)) {
    unlink(absent);
    return escaped(route, "the shell made a file outside");
  }
  if (present != nullptr && !exists(present)) return escaped(route, "the shell removed a file outside");
  if (status == 0) return escaped(route, "the shell succeeded");
  report(route, "refused", text("shell status %d", status).s);
}

// A user namespace of its own would give a process every capability in it
// (though not over the mounts it was handed, which stay locked, read-only,
// covered): the confinement refuses to make one.
void ownNamespaces(const char* route) {
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      refused(route, errno);
      _exit(0);
    }
    const bool uncovered = umount2("/proc/sys/vm/min_free_kbytes", MNT_DETACH) == 0;
    const bool writable = mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND, nullptr) == 0;
    const bool proc = mount("proc", "/proc", "proc", 0, nullptr) == 0;
    escaped(route, uncovered  ? "uncovered the kernel setting"
                   : writable ? "made / writable"
                   : proc     ? "mounted a /proc"
                              : "made namespaces of its own, though no mount could be undone or made");
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

// The run's /dev is small: filling it stops at its size.
void fillDev() {
  const int fd = open("/dev/shm/hostile-fill", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return refused("fill /dev past 1 MiB", errno);
  static char block[64 << 10];
  size_t written = 0;
  while (written < (2u << 20) && write(fd, block, sizeof block) == static_cast<ssize_t>(sizeof block))
    written += sizeof block;
  const int error = errno;
  close(fd);
  unlink("/dev/shm/hostile-fill");
  if (written >= (2u << 20)) return escaped("fill /dev past 1 MiB", "wrote 2 MiB");
  refused("fill /dev past 1 MiB", error);
}

// A file PATH that must not open for reading.
void mustNotRead(const char* route, const char* path) {
  const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return refused(route, errno);
  close(fd);
  escaped(route, "opened for reading; nothing read");
}

// A folder PATH that must not be locked (another run's sandbox).
void mustNotLock(const char* route, const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return refused(route, errno);
  const int locked = flock(fd, LOCK_EX | LOCK_NB);
  const int error = errno;
  close(fd);
  errno = error;
  mustFail(route, locked == 0 ? 0 : -1);
}

// The run's limits: open files, its disk's size however a file grows.
void limits() {
  int fds[1000];
  int opened = 0;
  for (; opened < 1000; ++opened)
    if ((fds[opened] = open("/dev/null", O_RDONLY)) < 0) break;
  const int error = errno;
  for (int i = 0; i < opened; ++i) close(fds[i]);
  if (opened == 1000)
    escaped("open 1000 files", "all opened");
  else
    refused("open 1000 files", error);
  const Text big = inRoom("disk/hostile-big");
  const int fd = open(big.s, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return refused("allocate 2 GiB on its disk, keeping its size", errno);
  const int allocated = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t{2} << 30);
  const int allocateError = errno;
  static char block[1 << 20];
  int mib = 0;
  while (mib < 64 && write(fd, block, sizeof block) == static_cast<ssize_t>(sizeof block)) ++mib;
  const int writeError = errno;
  close(fd);
  unlink(big.s);
  errno = allocateError;
  mustFail("allocate 2 GiB on its disk, keeping its size", allocated);
  if (mib == 64)
    escaped("write 64 MiB on its disk", "written");
  else
    refused("write 64 MiB on its disk", writeError);
}

// What it prints, and says on the descriptors it finds, must reach its
// caller only as its own output, escaped: the caller judges these.
void forgedOutput() {
  const char phases[] = "\x1b]0;owned\x07\x1b[2K\rrun completed\n\x03\xff";
  const bool said = write(4, phases, sizeof phases - 1) == static_cast<ssize_t>(sizeof phases - 1);
  report("write raw bytes on the phase channel", "tried", said ? "written" : strerror(errno));
  printf(
      "\x9b"
      "2J\xc2\x9b"
      "31m\x1b]52;c;b3duZWQ=\x07\nsettings   forged line\n");
  report("print control bytes and a forged line", "tried", "C1, its UTF-8 form, escape sequences");
}

// What root owns and no one else may read.
void rootsFiles() {
  const int shadow = open("/etc/shadow", O_RDONLY);
  if (shadow >= 0) {
    close(shadow);
    escaped("read /etc/shadow", "opened; nothing copied");
  } else {
    refused("read /etc/shadow", errno);
  }
  DIR* home = opendir("/root");
  if (home != nullptr) {
    closedir(home);
    escaped("list /root", "listed");
  } else {
    refused("list /root", errno);
  }
}

// A set-user-id file left on its disk, and a file capability on it: only a
// copy of its bytes leaves the run, so the bits reach nothing outside (the
// test checks the copy); a capability needs a privilege the module lacks.
void setUserIdLeftBehind() {
  const Text probe = inRoom("disk/set-user-id");
  const int fd = open(probe.s, O_WRONLY | O_CREAT | O_TRUNC, 0755);
  if (fd < 0) return refused("leave a set-user-id file", errno);
  close(fd);
  if (chmod(probe.s, 06755) != 0) return refused("leave a set-user-id file", errno);
  report("leave a set-user-id file", "tried", "disk/set-user-id");
  // A version 2 capability set granting every capability.
  const uint32_t caps[5] = {0x02000001, ~0u, ~0u, ~0u, ~0u};
  mustFail("set a file capability", setxattr(probe.s, "security.capability", caps, sizeof caps, 0));
}

// Unix sockets of every kind, io_uring: what could reach a service outside.
void sockets() {
  const int types[] = {SOCK_STREAM, SOCK_DGRAM};
  for (const int type : types) {
    const int fd = socket(AF_UNIX, type, 0);
    const char* route = type == SOCK_STREAM ? "make a unix stream socket" : "make a unix datagram socket";
    if (fd < 0) {
      refused(route, errno);
      continue;
    }
    close(fd);
    escaped(route, "made");
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) {
    refused("send from a unix datagram pair", errno);
  } else {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const Text dgram = aim("dgram");
    memcpy(address.sun_path, dgram.s, strnlen(dgram.s, sizeof address.sun_path - 1));
    const bool sent = sendto(pair[0], "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) == 1;
    close(pair[0]);
    close(pair[1]);
    escaped("send from a unix datagram pair", sent ? "sent to the socket outside" : "made the pair");
  }
  const int netlink = socket(AF_NETLINK, SOCK_RAW, 0);
  if (netlink >= 0) close(netlink);
  mustFail("make a netlink socket", netlink);
  // io_uring_setup(1, params): a ring of its own, whose operations no filter sees.
  long params[30] = {};
  const long ring = syscall(SYS_io_uring_setup, 1, params);
  if (ring >= 0) close(static_cast<int>(ring));
  mustFail("make an io_uring", ring);
  const int tcp = socket(AF_INET, SOCK_STREAM, 0);
  if (tcp < 0) return refused("connect to a TCP listener outside", errno);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(atoi(aim("port").s)));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int connected = connect(tcp, reinterpret_cast<sockaddr*>(&to), sizeof to);
  const int error = errno;
  close(tcp);
  errno = error;
  mustFail("connect to a TCP listener outside", connected);
}

// A cgroup file system of its own, whose files would answer to uid 0: it
// needs namespaces of its own first. A cgroup file is opened, never written.
void cgroups() {
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWCGROUP) != 0) {
      refused("mount cgroup2 and open a cgroup file", errno);
      _exit(0);
    }
    const Text where = inRoom("tmp");
    if (mount("cgroup2", where.s, "cgroup2", 0, nullptr) != 0) {
      refused("mount cgroup2 and open a cgroup file", errno);
      _exit(0);
    }
    const int fd = open(text("%s/pids.max", where.s).s, O_WRONLY);
    if (fd >= 0) close(fd);
    if (fd >= 0)
      escaped("mount cgroup2 and open a cgroup file", "pids.max opened for writing");
    else
      refused("mount cgroup2 and open a cgroup file", errno);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

// Its caller's environment and terminal.
void callersWorld() {
  const char* allowed[] = {"PATH", "PWD", "TMPDIR", "STEADYFLOW_MEMORY_CAP"};
  Text extra = {};
  for (char** e = environ; *e != nullptr; ++e) {
    bool known = false;
    for (const char* name : allowed) {
      const size_t n = strlen(name);
      known = known || (strncmp(*e, name, n) == 0 && (*e)[n] == '=');
    }
    if (!known) snprintf(extra.s, sizeof extra.s, "%.60s", *e);
  }
  if (*extra.s != '\0')
    escaped("read the caller's environment", text("found %.60s", extra.s).s);
  else
    report("read the caller's environment", "refused", "only the run's own variables");
  for (int fd = 0; fd <= 2; ++fd) {
    struct winsize size;
    const Text route = text("reach a terminal on descriptor %d", fd);
    if (ioctl(fd, TIOCGWINSZ, &size) == 0)
      escaped(route.s, "a terminal; left alone");
    else
      refused(route.s, errno);
  }
}

// The module's own calls past the C library's open and system: the raw
// openat and an exec of the shell meet the same confinement.
void rawCalls() {
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/sys/vm/min_free_kbytes", O_WRONLY));
  if (fd < 0) {
    refused("raw openat /proc/sys/vm/min_free_kbytes", errno);
  } else {
    const bool sandbox = isStandIn(fd, kSetting);
    close(fd);
    if (sandbox)
      report("raw openat /proc/sys/vm/min_free_kbytes", "sandbox", "the run's stand-in; left unwritten");
    else
      escaped("raw openat /proc/sys/vm/min_free_kbytes", "opened another file for writing; left unwritten");
  }
  const Text made = outside("raw-openat");
  const int outsideFd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, made.s, O_WRONLY | O_CREAT | O_EXCL, 0644));
  if (outsideFd >= 0) {
    close(outsideFd);
    unlink(made.s);
  }
  mustFail("raw openat OUTSIDE/new", outsideFd);
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", text("touch '%s'", outside("exec-shell").s).s, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  const Text shellMade = outside("exec-shell");
  if (exists(shellMade.s)) {
    unlink(shellMade.s);
    escaped("exec /bin/sh to touch OUTSIDE/new", "the shell made a file outside");
  } else {
    report("exec /bin/sh to touch OUTSIDE/new", "refused", text("shell status %d", status).s);
  }
}

void tryEverything() {
  const Text pidAim = aim("pid");
  const char* pid = pidAim.s;

  // The kernel setting by every name: each reaches the sandbox's file.
  intoSandbox("write /proc/sys/vm/min_free_kbytes", "/proc/sys/vm/min_free_kbytes", true);
  intoSandbox("write //proc/sys/vm/min_free_kbytes", "//proc/sys/vm/min_free_kbytes", true);
  intoSandbox("write /proc/./sys/vm/min_free_kbytes", "/proc/./sys/vm/min_free_kbytes", true);
  intoSandbox("write /proc/sys/vm/../vm/min_free_kbytes", "/proc/sys/vm/../vm/min_free_kbytes", true);
  intoSandbox("write /proc/self/root/proc/sys/vm/min_free_kbytes", "/proc/self/root/proc/sys/vm/min_free_kbytes", true);
  settingByShell("shell cd /; cd proc; cd sys; echo N > vm/min_free_kbytes",
                 "cd /; cd proc; cd sys; echo %d > vm/min_free_kbytes");
  settingByShell("shell echo N > $(echo /proc)/sys/vm/min_free_kbytes",
                 "echo %d > $(echo /proc)/sys/vm/min_free_kbytes");

  // Through processes outside this confinement.
  intoSandbox("write /proc/1/root/proc/sys/vm/min_free_kbytes", "/proc/1/root/proc/sys/vm/min_free_kbytes", true);
  intoSandbox("write /proc/PID/root/proc/sys/vm/min_free_kbytes",
              text("/proc/%s/root/proc/sys/vm/min_free_kbytes", pid).s, true);
  mustNotOpen("open /proc/PID/root/OUTSIDE/keep", text("/proc/%s/root%s", pid, outside("keep").s).s);
  mustNotOpen("open /proc/PID/mem", text("/proc/%s/mem", pid).s, O_RDWR);
  mustNotJoin("setns /proc/1/ns/mnt", "/proc/1/ns/mnt");
  mustNotJoin("setns /proc/PID/ns/mnt", text("/proc/%s/ns/mnt", pid).s);

  // The machine's other settings.
  mustNotOpen("open /proc/sys/vm/swappiness", "/proc/sys/vm/swappiness");
  mustNotOpen("open //proc/sys/vm/swappiness", "//proc/sys/vm/swappiness");
  mustNotOpen("open /proc/self/root/proc/sys/vm/swappiness", "/proc/self/root/proc/sys/vm/swappiness");
  shellMustFail("shell cd /; cd proc; cd sys; : > vm/swappiness", "cd /; cd proc; cd sys; : > vm/swappiness", nullptr,
                nullptr);
  mustNotOpen("open /proc/sysrq-trigger", "/proc/sysrq-trigger");
  mustNotOpen("open /sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/mm/transparent_hugepage/enabled");
  mustNotRead("read SANDBOX/disk/hostile-aims", text("%s/disk/hostile-aims", aim("sandbox").s).s);

  // Mounts and namespaces.
  mustFail("mount proc on /proc", mount("proc", "/proc", "proc", 0, nullptr));
  mustFail("mount proc in the sandbox", mount("proc", inRoom("tmp").s, "proc", 0, nullptr));
  mustFail("remount / read-write", mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND, nullptr));
  shellMustFail("shell mount -o remount,rw /", "mount -o remount,rw /", nullptr, nullptr);
  mustFail("umount /proc/sys/vm/min_free_kbytes", umount2("/proc/sys/vm/min_free_kbytes", MNT_DETACH));
  mustFail("unshare a mount namespace", unshare(CLONE_NEWNS));
  ownNamespaces("unshare a user namespace and mount");

  // Terminals.
  intoSandbox("write /dev/./pts/0", "/dev/./pts/0", false);
  intoSandbox("write /dev/pts/../pts/0", "/dev/pts/../pts/0", false);
  mustNotOpen("open /dev/tty", "/dev/tty");
  mustFail("open /dev/ptmx", posix_openpt(O_RDWR | O_NOCTTY));
  mustNotOpen("open /dev/console", "/dev/console");
  mustNotRead("read OTHER/disk/secret", text("%s/disk/secret", aim("other").s).s);
  mustNotLock("lock OTHER", aim("other").s);
  mustNotRead("read CWD/secret", text("%s/secret", aim("cwd").s).s);
  mustNotRead("read the checkout", HOSTILE_CHECKOUT "/README.md");
  mustNotRead("read BUILD/CMakeCache.txt", HOSTILE_BUILD "/CMakeCache.txt");

  // Files outside.
  mustNotCreate("create OUTSIDE/new", aim("outside").s);
  mustNotCreate("create /tmp/new", "/tmp");
  mustNotCreate("create /root/new", "/root");
  mustNotCreate("create BUILD/new", HOSTILE_BUILD);
  mustNotCreate("create next to the checkout", HOSTILE_CHECKOUT "/..");
  mustNotOpen("open OUTSIDE/keep", outside("keep").s);
  mustFail("delete OUTSIDE/victim", unlink(outside("victim").s));
  const Text folder = outside("new-folder");
  const int made = mkdir(folder.s, 0755);
  if (made == 0) rmdir(folder.s);
  mustFail("mkdir OUTSIDE/new-folder", made);

  // The same through the shell.
  const Text made1 = outside("shell-touch"), made2 = outside("shell-redirect"), made3 = outside("shell-substitution");
  const Text made4 = text("/tmp/hostile-shell-%d", getpid());
  shellMustFail("shell touch OUTSIDE/new", text("touch '%s'", made1.s).s, made1.s, nullptr);
  shellMustFail("shell rm -f OUTSIDE/victim", text("rm -f '%s'", outside("victim").s).s, nullptr, outside("victim").s);
  shellMustFail("shell echo x > /tmp/new", text("echo x > '%s'", made4.s).s, made4.s, nullptr);
  shellMustFail("shell echo x > OUTSIDE/new", text("echo x > '%s'", made2.s).s, made2.s, nullptr);
  shellMustFail("shell $(echo touch) OUTSIDE/new", text("$(echo touch) '%s'", made3.s).s, made3.s, nullptr);

  // What no namespace separates.
  sockets();
  // KEYCTL_GET_KEYRING_ID of the session keyring, creating nothing.
  mustFail("read the session keyring", syscall(SYS_keyctl, 0, -3, 0));

  rootsFiles();
  fillDev();
  limits();
  forgedOutput();
  setUserIdLeftBehind();
  cgroups();
  callersWorld();
  rawCalls();
}

}  // namespace

extern "C" {

int32_t TAP_Main(void) {
  // A file past the run's size limit is then an error, not the end.
  signal(SIGXFSZ, SIG_IGN);
  if (!confined()) {
    printf("hostile: not confined on a sandbox; nothing tried\n");
    return 0;
  }
  tryEverything();
  return 0;
}

uint32_t TAP_EventHandler(uint32_t, uint32_t param1, uint32_t) { return param1; }

int32_t __TAP_Init_(TapEntryRecord* entries) {
  entries->main = TAP_Main;
  entries->event = TAP_EventHandler;
  return 0;
}

}  // extern "C"
