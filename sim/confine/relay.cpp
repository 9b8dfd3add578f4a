#include "relay.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "run_limits.h"

namespace sim::confine {
namespace {

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A stream of the program's output on its way to one of ours, line by line
// when it is a module's.
struct Stream {
  int to;
  bool lineStart = true;
  void write(const std::string& bytes, Output output) {
    std::string text;
    for (char c : bytes) {
      if (output == Output::Module && lineStart) text += "[module] ";
      lineStart = c == '\n';
      text += c == '\n' ? std::string("\n") : shown(std::string(1, c), output);
    }
    (void)!::write(to, text.data(), text.size());
  }
  void finish(Output output) {
    if (output == Output::Module && !lineStart) (void)!::write(to, "\n", 1);
  }
};

volatile sig_atomic_t stopping = 0;
void stop(int signal) { stopping = signal; }

}  // namespace

const char* phaseText(Phase phase) {
  switch (phase) {
    case Phase::Loading:
      return "while loading the module";
    case Phase::Init:
      return "in __TAP_Init_";
    case Phase::Main:
      return "in TAP_Main";
    case Phase::Event:
      return "in TAP_EventHandler";
    case Phase::After:
      return "after the module's run";
    case Phase::None:
      break;
  }
  return "";
}

std::string shown(const std::string& bytes, Output output) {
  std::string out;
  for (unsigned char c : bytes) {
    if ((c >= 0x20 && c < 0x7F) || (output == Output::Plain && (c == '\n' || c == '\t'))) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

Relayed relay(pid_t pid, const Ends& ends, Output output, unsigned timeout) {
  struct sigaction quit = {}, before[3];
  quit.sa_handler = stop;
  const int quits[] = {SIGINT, SIGTERM, SIGHUP};
  for (int i = 0; i < 3; ++i)
    if (sigaction(quits[i], nullptr, &before[i]) == 0 && before[i].sa_handler != SIG_IGN)
      sigaction(quits[i], &quit, nullptr);

  Relayed got;
  Stream streams[2] = {{1}, {2}};
  size_t relayed = 0;
  enum { kOut, kErr, kPhase, kRecords, kDisk };
  pollfd fds[5] = {{ends.out, POLLIN, 0},
                   {ends.err, POLLIN, 0},
                   {ends.phase, POLLIN, 0},
                   {ends.records, POLLIN, 0},
                   {ends.disk, POLLIN, 0}};
  const double deadline = now() + timeout;
  auto end = [&](const char* what) {
    if (got.capped.empty() && what != nullptr) got.capped = what;
    kill(pid, SIGKILL);
  };
  for (int open = static_cast<int>(std::count_if(std::begin(fds), std::end(fds), [](auto& f) { return f.fd >= 0; }));
       open > 0;) {
    int wait = -1;
    if (timeout > 0 && !got.timedOut) wait = static_cast<int>(std::max(0.0, deadline - now()) * 1000) + 1;
    const int ready = poll(fds, 5, wait);
    if (stopping) end(nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0) {
      got.timedOut = true;
      end(nullptr);
      continue;
    }
    for (int i = 0; i < 5; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      const std::string bytes(buffer, static_cast<size_t>(n));
      if (i == kOut || i == kErr) {
        const size_t room = limits::kOutputBytes - std::min(relayed, limits::kOutputBytes);
        if (room > 0) streams[i].write(bytes.substr(0, room), output);
        relayed += bytes.size();
        if (relayed > limits::kOutputBytes) got.outputCapped = true;
      } else if (i == kPhase) {
        const auto code = static_cast<uint8_t>(bytes.back());
        if (code <= static_cast<uint8_t>(Phase::After)) got.phase = static_cast<Phase>(code);
      } else {
        std::string& kept = i == kRecords ? got.records : got.disk;
        const size_t cap = i == kRecords ? limits::kRecordBytes : limits::kDiskChannelBytes;
        kept += bytes;
        if (kept.size() > cap) {
          kept.resize(cap);
          end(i == kRecords ? "its records" : "its disk");
        }
      }
    }
  }
  for (Stream& s : streams) s.finish(output);
  for (int i = 0; i < 3; ++i) sigaction(quits[i], &before[i], nullptr);
  got.stopSignal = stopping;
  stopping = 0;
  return got;
}

}  // namespace sim::confine
