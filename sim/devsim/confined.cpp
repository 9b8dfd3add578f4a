#include "confined.h"

#include <sys/stat.h>
#include <unistd.h>

#include "confine.h"
#include "disk_archive.h"
#include "fail.h"
#include "file.h"
#include "layout.h"
#include "records.h"
#include "report.h"
#include "report_lines.h"
#include "report_text.h"
#include "run_limits.h"
#include "sandbox.h"

namespace devsim::confined {
namespace {

using sim::confine::inside::Channel;
using sim::confine::inside::channel;

// How much of each terminal the records keep.
constexpr size_t kTerminalBytes = 4096;

void writeAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

FILE* records() {
  static FILE* const out = [] {
    if (!sim::confine::inside::own("devsim")) return static_cast<FILE*>(nullptr);
    const int fd = channel(Channel::Records);
    if (fd < 0) return stdout;
    FILE* channelled = fdopen(fd, "w");
    failTo(channelled);
    return channelled;
  }();
  return out;
}

bool channelled() { return records() != nullptr && records() != stdout; }

void line(const char* word, const std::string& text) {
  FILE* out = records();
  if (!channelled()) return report(word, text);
  fputs(REPORT_LINE, out);
  putText(out, word);
  putBytes(out, text.data(), text.size());
  fputc('\n', out);
}

std::string takeInput(sim::Session& session, const std::string& module) {
  const int fd = channel(Channel::Input);
  if (fd < 0) return module;
  std::string input, error;
  if (!sim::readAll(fd, sim::limits::kDiskChannelBytes + (16u << 20), input)) fail("cannot read the run's input");
  std::vector<sim::tar::Entry> entries;
  std::vector<std::string> skipped;
  if (!sim::disk::unpack(input, entries, error) ||
      !sim::disk::apply(entries, sim::layout::kDisk, session.disk(), skipped, error))
    fail("the run's disk does not fit its room (" + error + ")");
  // The device's disk always holds /ProgramFiles.
  mkdir(session.hostPath("/ProgramFiles").c_str(), 0755);
  const std::string path = session.scratch() + "/module.tap";
  for (const sim::tar::Entry& e : entries)
    if (e.path == sim::layout::kInputModule) {
      FILE* file = fopen(path.c_str(), "wb");
      if (file == nullptr || fwrite(e.bytes.data(), 1, e.bytes.size(), file) != e.bytes.size() || fclose(file) != 0)
        fail("cannot put the module in the run's room");
      return path;
    }
  fail("the run's input holds no module");
}

void giveBack(sim::Session& session, Outcome& out) {
  if (!out.vm) {
    for (int t = 0; t < sim::layout::kTerminalCount; ++t) {
      std::string error;
      const auto bytes = sim::sandbox::readRegular(sim::layout::kTerminals, std::to_string(t), kTerminalBytes, error);
      if (bytes) out.terminals.push_back({t, bytes->size, bytes->bytes});
    }
    std::string error;
    const auto kernel = sim::sandbox::readRegular(sim::layout::kKernelSetting, kTerminalBytes, error);
    out.kernel = kernel ? kernel->bytes : "";
  }
  const int disk = channel(Channel::Disk);
  if (disk >= 0) {
    std::string archive, error;
    if (!sim::disk::pack(session.disk(), sim::layout::kDisk, archive, error, &out.notKept))
      fail("the run's disk cannot be given back: " + error);
    writeAll(disk, archive);
    close(disk);
  }
  writeRecords(records(), out);
  fflush(records());
}

}  // namespace devsim::confined
