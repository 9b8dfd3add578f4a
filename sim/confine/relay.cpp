#include "relay.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "process.h"
#include "run_limits.h"

namespace sim::confine {
namespace {

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
  auto read = [&](size_t i, const std::string& bytes) {
    if (i == kOut || i == kErr) {
      const size_t room = limits::kOutputBytes - std::min(relayed, limits::kOutputBytes);
      if (room > 0) streams[i].write(bytes.substr(0, room), output);
      relayed += bytes.size();
      got.outputCapped = relayed > limits::kOutputBytes;
      return true;
    }
    if (i == kPhase) {
      const auto code = static_cast<uint8_t>(bytes.back());
      if (code <= static_cast<uint8_t>(Phase::After)) got.phase = static_cast<Phase>(code);
      return true;
    }
    std::string& kept = i == kRecords ? got.records : got.disk;
    const size_t cap = i == kRecords ? limits::kRecordBytes : limits::kDiskChannelBytes;
    kept += bytes;
    if (kept.size() <= cap) return true;
    kept.resize(cap);
    if (got.capped.empty()) got.capped = i == kRecords ? "its records" : "its disk";
    return false;
  };
  got.timedOut = process::drain(pid, {ends.out, ends.err, ends.phase, ends.records, ends.disk}, timeout, read,
                                [] { return stopping != 0; });
  for (Stream& s : streams) s.finish(output);
  for (int i = 0; i < 3; ++i) sigaction(quits[i], &before[i], nullptr);
  got.stopSignal = stopping;
  stopping = 0;
  return got;
}

}  // namespace sim::confine
