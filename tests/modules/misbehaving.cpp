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
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tapheader.h"

TAP_IDENTITY("Jan 1 2026", "misbehaves", "tests", "V0", "misbehaving V0", 3, TAP_HEADER_MAGIC)

namespace {

char behaviour[32];

bool is(const char* word) { return strcmp(behaviour, word) == 0; }

void crash() {
  raise(SIGSEGV);
}

__attribute__((constructor)) void load() {
  char path[4096];
  const char* sandbox = getenv("STEADYFLOW_SANDBOX");
  snprintf(path, sizeof path, "%s/disk/misbehave", sandbox != nullptr ? sandbox : "");
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

void file() {
  char path[4096];
  snprintf(path, sizeof path, "%s/disk/big", getenv("STEADYFLOW_SANDBOX"));
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
