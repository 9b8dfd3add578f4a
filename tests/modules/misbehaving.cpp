// A module that misbehaves in one way, for the tests of the confinement's
// limits: the word in the file "misbehave" on its disk chooses it.
//   spin          TAP_Main never returns
//   crash-load    it crashes while it is loaded (its constructor)
//   crash-init, crash-main, crash-event    it crashes in that entry
//   file          it writes a file past the run's file size limit
//   processes     it starts processes until it may start no more, prints
//                 "misbehaving: N processes" and ends them again
//   memory        it allocates until it may allocate no more (at most
//                 4 GiB, never touched) and prints "misbehaving: N MiB"
//   shared-memory, memfd
//                 it holds 3 GiB of shared memory, or of a memfd, touched,
//                 which no per-process limit counts, and prints
//                 "misbehaving: held N MiB"
//   files         it leaves 50,000 files on its disk
//   flood         it prints 128 MiB
//   forge         it prints a report of its own making and ends at once,
//                 saying it succeeded
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "layout.h"
#include "tapheader.h"

TAP_IDENTITY("Jan 1 2026", "misbehaves", "tests", "V0", "misbehaving V0", 3, TAP_HEADER_MAGIC)

namespace {

char behaviour[32];

bool is(const char* word) { return strcmp(behaviour, word) == 0; }

void crash() { raise(SIGSEGV); }

__attribute__((constructor)) void load() {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s/misbehave", sim::layout::kRoom, sim::layout::kDisk);
  const int fd = open(path, O_RDONLY);
  const ssize_t n = fd >= 0 ? read(fd, behaviour, sizeof behaviour - 1) : 0;
  if (fd >= 0) close(fd);
  behaviour[n > 0 ? n : 0] = '\0';
  behaviour[strcspn(behaviour, "\n")] = '\0';
  if (is("crash-load")) crash();
}

void processes() {
  static pid_t started[1000];
  int n = 0;
  for (; n < 1000; ++n) {
    const pid_t child = fork();
    if (child < 0) break;
    if (child == 0) {
      pause();
      _exit(0);
    }
    started[n] = child;
  }
  printf("misbehaving: %d processes\n", n);
  for (int i = 0; i < n; ++i) kill(started[i], SIGKILL);
  for (int i = 0; i < n; ++i) waitpid(started[i], nullptr, 0);
}

void memory() {
  size_t mib = 0;
  while (mib < 4096 && malloc(16u << 20) != nullptr) mib += 16;
  printf("misbehaving: %zu MiB\n", mib);
}

// Holds 3 GiB of shared memory, anonymous or in memfds of 64 MiB (each
// within the file size limit), each page touched.
void shared(bool memfd) {
  constexpr size_t kPiece = size_t{64} << 20, kPieces = 48;
  size_t held = 0;
  for (size_t i = 0; i < kPieces; ++i) {
    const int fd = memfd ? memfd_create("misbehaving", 0) : -1;
    if (memfd && (fd < 0 || ftruncate(fd, static_cast<off_t>(kPiece)) != 0)) break;
    void* map = mmap(nullptr, kPiece, PROT_READ | PROT_WRITE, MAP_SHARED | (memfd ? 0 : MAP_ANONYMOUS), fd, 0);
    if (map == MAP_FAILED) break;
    for (size_t at = 0; at < kPiece; at += 4096) static_cast<char*>(map)[at] = 1;
    held += kPiece;
  }
  printf("misbehaving: held %zu MiB\n", held >> 20);
}

void files() {
  char path[4096];
  for (int i = 0; i < 50000; ++i) {
    snprintf(path, sizeof path, "%s/%s/f%d", sim::layout::kRoom, sim::layout::kDisk, i);
    const int fd = open(path, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) break;
    close(fd);
  }
}

void flood() {
  static char line[4096];
  memset(line, 'x', sizeof line - 1);
  line[sizeof line - 1] = '\n';
  for (int i = 0; i < (128 << 20) / 4096; ++i) fwrite(line, 1, sizeof line, stdout);
  fflush(stdout);
}

void forge() {
  printf("name       forged\nkernel     min_free_kbytes now holds \"10000\\n\"\n");
  fflush(stdout);
  _exit(0);
}

void file() {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s/big", sim::layout::kRoom, sim::layout::kDisk);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0 && pwrite(fd, "x", 1, off_t{256} << 20) == 1) printf("misbehaving: wrote past 256 MiB\n");
  if (fd >= 0) close(fd);
}

}  // namespace

extern "C" {

int32_t TAP_Main(void) {
  if (is("crash-main")) crash();
  if (is("file")) file();
  if (is("processes")) processes();
  if (is("memory")) memory();
  if (is("shared-memory") || is("memfd")) shared(is("memfd"));
  if (is("files")) files();
  if (is("flood")) flood();
  if (is("forge")) forge();
  while (is("spin")) asm volatile("" ::: "memory");
  fflush(stdout);
  return 0;
}

uint32_t TAP_EventHandler(uint32_t, uint32_t param1, uint32_t) {
  if (is("crash-event")) crash();
  return param1;
}

int32_t __TAP_Init_(TapEntryRecord* entries) {
  if (is("crash-init")) crash();
  entries->main = TAP_Main;
  entries->event = TAP_EventHandler;
  return 0;
}

}  // extern "C"
