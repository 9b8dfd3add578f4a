// vmrun: in the VM, runs the module loader once as the device's firmware
// would, with the pseudo-terminals the run asks for open and read, and
// records what the kernel shows around it.
//
//   vmrun TERMINALS -- PROGRAM [ARG...]
//
// TERMINALS is "none" or a list like "0,3": those pseudo-terminals exist
// while PROGRAM runs, each held by a reader here in raw mode, so the bytes a
// module writes to /dev/pts/N arrive as written. PROGRAM (tapload) inherits
// stdout, the records channel; its stderr is kept for its one line.
//
// On stdout, after PROGRAM's own records (report_lines.h): the VM's kernel
// release and memory, the memory available before and after the run, the
// loader's ending, each terminal's bytes, and the kernel's own
// min_free_kbytes read before and after the run. Exit status 0 unless vmrun itself
// could not run PROGRAM.
//
// Built as tapload is: no exceptions, no RTTI, no C++ runtime.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "report_lines.h"
#include "report_text.h"

namespace {

// The terminals a module may try (/dev/pts/0 to /dev/pts/19), and how many
// bytes of each a record keeps; the count is always whole.
constexpr int kTerminals = 20;
constexpr size_t kKeptBytes = 4096;
constexpr size_t kErrorBytes = 512;

struct Terminal {
  int master = -1;
  unsigned long long size = 0;
  size_t kept = 0;
  char bytes[kKeptBytes];
};
Terminal terminals[kTerminals];

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "vmrun: %s: %s\n", what, strerror(errno));
  exit(1);
}

// "none" or "N,N,...": which terminals exist.
bool parseTerminals(const char* list, bool (&wanted)[kTerminals]) {
  if (strcmp(list, "none") == 0) return true;
  for (const char* p = list;;) {
    char* end = nullptr;
    const long n = strtol(p, &end, 10);
    if (end == p || n < 0 || n >= kTerminals) return false;
    wanted[n] = true;
    if (*end == '\0') return true;
    if (*end != ',') return false;
    p = end + 1;
  }
}

// Opens a pseudo-terminal for each number up to the highest wanted (the
// kernel hands out the lowest free number), then closes those not wanted,
// so exactly the wanted ones exist. Each is unlocked and raw.
void holdTerminals(const bool (&wanted)[kTerminals]) {
  int highest = -1;
  for (int i = 0; i < kTerminals; ++i)
    if (wanted[i]) highest = i;
  int masters[kTerminals];
  for (int i = 0; i <= highest; ++i) {
    masters[i] = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int number = -1;
    if (masters[i] < 0 || ioctl(masters[i], TIOCGPTN, &number) != 0 || number != i)
      fail("cannot open the pseudo-terminals in order");
  }
  for (int i = 0; i <= highest; ++i) {
    if (!wanted[i]) {
      close(masters[i]);
      continue;
    }
    struct termios raw;
    int unlock = 0;
    if (ioctl(masters[i], TIOCSPTLCK, &unlock) != 0 || tcgetattr(masters[i], &raw) != 0)
      fail("cannot unlock a pseudo-terminal");
    raw.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_oflag &= ~OPOST;
    raw.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag = (raw.c_cflag & ~(CSIZE | PARENB)) | CS8;
    if (tcsetattr(masters[i], TCSANOW, &raw) != 0) fail("cannot make a pseudo-terminal raw");
    terminals[i].master = masters[i];
  }
}

// Reads what each terminal holds now, without waiting.
void readTerminals() {
  for (Terminal& t : terminals) {
    if (t.master < 0) continue;
    char buffer[1024];
    for (ssize_t n; (n = read(t.master, buffer, sizeof buffer)) > 0;) {
      const size_t room = kKeptBytes - t.kept, take = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
      memcpy(t.bytes + t.kept, buffer, take);
      t.kept += take;
      t.size += static_cast<unsigned long long>(n);
    }
  }
}

// A number from /proc/meminfo's line NAME, in kB; 0 when missing.
unsigned long memInfo(const char* name) {
  FILE* f = fopen("/proc/meminfo", "r");
  if (f == nullptr) return 0;
  char line[128];
  unsigned long kb = 0;
  const size_t length = strlen(name);
  while (fgets(line, sizeof line, f) != nullptr)
    if (strncmp(line, name, length) == 0 && line[length] == ':') kb = strtoul(line + length + 1, nullptr, 10);
  fclose(f);
  return kb;
}

// The first bytes of a file, at most SIZE - 1, as a text.
void readSmall(const char* path, char* out, size_t size) {
  out[0] = '\0';
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t n = read(fd, out, size - 1);
  out[n > 0 ? n : 0] = '\0';
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  bool wanted[kTerminals] = {};
  if (argc < 4 || strcmp(argv[2], "--") != 0 || !parseTerminals(argv[1], wanted)) {
    fputs("usage: vmrun none|N[,N...] -- PROGRAM [ARG...]\n", stderr);
    return 2;
  }
  setvbuf(stdout, nullptr, _IOFBF, 0);
  struct utsname system;
  uname(&system);
  printf(REPORT_VM);
  putText(stdout, system.release);
  printf(" %lu\n", memInfo("MemTotal"));
  const unsigned long before = memInfo("MemAvailable");
  char kernelBefore[64];
  readSmall("/proc/sys/vm/min_free_kbytes", kernelBefore, sizeof kernelBefore);
  fflush(stdout);

  holdTerminals(wanted);
  int errors[2];
  if (pipe2(errors, O_CLOEXEC) != 0) fail("cannot make a pipe");
  const pid_t child = fork();
  if (child < 0) fail("cannot fork");
  if (child == 0) {
    dup2(errors[1], 2);
    execv(argv[3], argv + 3);
    fprintf(stderr, "cannot run %s: %s\n", argv[3], strerror(errno));
    _exit(127);
  }
  close(errors[1]);
  fcntl(errors[0], F_SETFL, O_NONBLOCK);
  char error[kErrorBytes] = {};
  size_t errorLength = 0;
  int status = 0;
  for (;;) {
    pollfd fds[kTerminals + 1];
    nfds_t count = 0;
    fds[count++] = {errors[0], POLLIN, 0};
    for (const Terminal& t : terminals)
      if (t.master >= 0) fds[count++] = {t.master, POLLIN, 0};
    poll(fds, count, 20);
    readTerminals();
    char buffer[512];
    for (ssize_t n; (n = read(errors[0], buffer, sizeof buffer)) > 0;) {
      const size_t take = static_cast<size_t>(n) < sizeof error - 1 - errorLength ? static_cast<size_t>(n)
                                                                                  : sizeof error - 1 - errorLength;
      memcpy(error + errorLength, buffer, take);
      errorLength += take;
    }
    if (waitpid(child, &status, WNOHANG) == child) break;
  }
  readTerminals();
  const unsigned long after = memInfo("MemAvailable");
  char kernel[64];
  readSmall("/proc/sys/vm/min_free_kbytes", kernel, sizeof kernel);

  printf(REPORT_MEMORY " %lu %lu\n", before, after);
  error[strcspn(error, "\n")] = '\0';
  printf(REPORT_LOADER " %d", status);
  putText(stdout, error);
  putchar('\n');
  for (int i = 0; i < kTerminals; ++i) {
    const Terminal& t = terminals[i];
    if (t.master < 0) continue;
    printf(REPORT_TERMINAL " %d %llu", i, t.size);
    putBytes(stdout, t.bytes, t.kept);
    putchar('\n');
  }
  printf(REPORT_KERNEL);
  putText(stdout, kernelBefore);
  putText(stdout, kernel);
  putchar('\n');
  fflush(stdout);
  return 0;
}
