#include "image.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <type_traits>

#include "core.h"
#include "fail.h"
#include "process.h"
#include "record.h"
#include "report_lines.h"
#include "sandbox.h"

namespace devsim {
namespace {

using sim::record::quoted;

// The loader's report of a run is some kilobytes; more is not its.
constexpr size_t kReportLimit = 16 << 20;

std::vector<std::string> loaderCommand(const Options& o, const sim::Session& session) {
  std::vector<std::string> argv = {
      o.image + "/run",  session.modulePath(),          session.disk(), "--start-dir", o.startDir,
      "--chdir-success", std::to_string(o.chdirSuccess)};
  if (!o.taskData) argv.push_back("--no-task-data");
  if (!o.utf8) argv.push_back("--no-utf8");
  for (const Event& e : o.events) {
    argv.push_back("--event");
    argv.push_back(std::to_string(e.code) + ":" + std::to_string(e.param1) + ":" + std::to_string(e.param2));
  }
  return argv;
}

// The loader's output file NAME, read and removed.
std::string takeOutput(const sim::Session& session, const std::string& name) {
  std::string error;
  const auto file = sim::sandbox::readRegular(session.root(), "tmp/" + name, kReportLimit, error);
  unlink((sim::sandbox::temporary(session.root()) + "/" + name).c_str());
  return file ? file->bytes : "";
}

int hexDigit(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; }

// The fields of one record, read in order; any that is not what the record
// wants, a missing one or one too many leaves ok() false.
class Fields {
 public:
  explicit Fields(const std::string& line) {
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ' ');) fields_.push_back(field);
  }
  const std::string& name() const { return fields_[0]; }
  bool ok() const { return ok_ && next_ == fields_.size(); }
  // Whether the fields so far are what the record wants.
  bool good() const { return ok_; }
  // Makes the record unreadable.
  void refuse() { ok_ = false; }

  const std::string& word() {
    static const std::string none;
    if (next_ >= fields_.size()) {
      ok_ = false;
      return none;
    }
    return fields_[next_++];
  }
  template <class T>
  T number() {
    const std::string& f = word();
    char* end = nullptr;
    errno = 0;
    T value{};
    if constexpr (std::is_signed_v<T>) {
      const long long n = strtoll(f.c_str(), &end, 10);
      value = static_cast<T>(n);
      ok_ = ok_ && n >= std::numeric_limits<T>::min() && n <= std::numeric_limits<T>::max();
    } else {
      const unsigned long long n = strtoull(f.c_str(), &end, 10);
      value = static_cast<T>(n);
      ok_ = ok_ && f[0] != '-' && n <= std::numeric_limits<T>::max();
    }
    ok_ = ok_ && !f.empty() && *end == '\0' && errno == 0;
    return value;
  }
  bool flag() {
    const uint32_t n = number<uint32_t>();
    ok_ = ok_ && n <= 1;
    return n == 1;
  }
  void* pointer() { return reinterpret_cast<void*>(number<uintptr_t>()); }
  // A text field: none for "-", else the bytes after "=" with %XX undone.
  std::optional<std::string> text() {
    const std::string& f = word();
    if (f == "-") return std::nullopt;
    if (f.empty() || f[0] != '=') ok_ = false;
    std::string bytes;
    for (size_t i = 1; i < f.size(); ++i) {
      if (f[i] != '%') {
        bytes += f[i];
        continue;
      }
      const int high = i + 2 < f.size() ? hexDigit(f[i + 1]) : -1, low = high >= 0 ? hexDigit(f[i + 2]) : -1;
      if (low < 0) ok_ = false;
      bytes += static_cast<char>(high * 16 + low);
      i += 2;
    }
    return bytes;
  }

  sim::TraceValue value() {
    sim::TraceValue v;
    const uint32_t kind = number<uint32_t>();
    ok_ = ok_ && kind <= static_cast<uint32_t>(sim::core::ValueKind::Handle);
    v.kind = static_cast<sim::core::ValueKind>(kind);
    v.null = flag();
    v.number = number<uint32_t>();
    v.offset = number<uint32_t>();
    const std::optional<std::string> text = this->text();
    ok_ = ok_ && text.has_value() == (v.kind == sim::core::ValueKind::Text && !v.null);
    v.text = text.value_or("");
    return v;
  }

 private:
  std::vector<std::string> fields_;
  size_t next_ = 1;
  bool ok_ = true;
};

sim::FirmwareCall firmwareCall(Fields& f) {
  sim::FirmwareCall call;
  call.sequence = f.number<uint64_t>();
  call.entry = f.word();
  call.fault = f.flag();
  const uint32_t args = f.number<uint32_t>();
  const bool hasResult = f.flag();
  if (args > std::size(sim::core::Call().args)) f.refuse();
  for (uint32_t i = 0; i < args && f.good(); ++i) call.args.push_back(f.value());
  if (hasResult) call.result = f.value();
  return call;
}

// Reads one record into OUT; false when it is none of the loader's.
bool readRecord(Fields& f, Outcome& out) {
  using sim::record::LinkerFn;
  const std::string& name = f.name();
  if (name == REPORT_INIT) {
    out.init = f.number<int32_t>();
    out.slotsFilled = f.flag();
  } else if (name == REPORT_MAIN) {
    out.main = f.number<int32_t>();
  } else if (name == REPORT_EVENT) {
    EventCall e;
    e.code = f.number<uint32_t>();
    e.param1 = f.number<uint32_t>();
    e.param2 = f.number<uint32_t>();
    e.result = f.number<uint32_t>();
    out.events.push_back(e);
  } else if (name == REPORT_FIRMWARE) {
    out.calls.firmware.push_back(firmwareCall(f));
  } else if (name == REPORT_DLOPEN) {
    sim::record::LinkerCall c{LinkerFn::Open, f.number<uint64_t>()};
    c.name = f.text();
    c.flags = f.number<int>();
    c.handle = f.pointer();
    out.calls.linker.push_back(c);
  } else if (name == REPORT_DLSYM) {
    sim::record::LinkerCall c{LinkerFn::Symbol, f.number<uint64_t>()};
    c.handle = f.pointer();
    c.name = f.text();
    c.address = f.pointer();
    out.calls.linker.push_back(c);
  } else if (name == REPORT_DLERROR) {
    sim::record::LinkerCall c{LinkerFn::Error, f.number<uint64_t>()};
    c.error = f.text();
    out.calls.linker.push_back(c);
  } else if (name == REPORT_DLCLOSE) {
    sim::record::LinkerCall c{LinkerFn::Close, f.number<uint64_t>()};
    c.handle = f.pointer();
    out.calls.linker.push_back(c);
  } else if (name == REPORT_OPEN) {
    sim::record::OpenCall c;
    c.sequence = f.number<uint64_t>();
    c.path = f.text().value_or("(null)");
    c.flags = f.number<int>();
    c.result = f.number<int>();
    c.error = f.number<int>();
    out.calls.opens.push_back(c);
  } else if (name == REPORT_SYSTEM) {
    sim::record::ShellCall c;
    c.sequence = f.number<uint64_t>();
    c.command = f.text().value_or("");
    c.ran = true;
    c.status = f.number<int>();
    out.calls.commands.push_back(c);
  } else if (name == REPORT_CWD) {
    out.cwd = f.text().value_or("");
  } else if (name == REPORT_HEAP) {
    out.liveBlocks = f.number<uint32_t>();
    out.peakBytes = f.number<uint64_t>();
  } else {
    return false;
  }
  return f.ok();
}

}  // namespace

Outcome runInImage(const Options& o, const sim::Session& session) {
  if (access((o.image + "/run").c_str(), X_OK) != 0)
    fail("no device image at " + o.image + " (no run; make image builds one)");
  const std::string tmp = sim::sandbox::temporary(session.root());
  sim::process::Child child;
  child.out = open((tmp + "/tapload.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  child.err = open((tmp + "/tapload.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (child.out < 0 || child.err < 0) fail("cannot keep the image loader's output in " + tmp);
  const int status = sim::process::exitCode(sim::process::run(loaderCommand(o, session), child));
  close(child.out);
  close(child.err);
  const std::string report = takeOutput(session, "tapload.out");
  const std::string errors = takeOutput(session, "tapload.err");
  if (status != 0) {
    const std::string line = errors.substr(0, errors.find('\n'));
    fail(status == 127  ? "cannot run qemu-mipsel for the device image (scripts/setup installs it)"
         : line.empty() ? "the device image's loader failed with status " + std::to_string(status)
                        : "in the device image: " + line);
  }
  Outcome out;
  std::istringstream in(report);
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    Fields fields(line);
    ++number;
    if (line.empty() || !readRecord(fields, out))
      fail("the device image's loader gave a report devsim cannot read, at line " + std::to_string(number) + ": " +
           quoted(line.substr(0, 80)));
  }
  return out;
}

}  // namespace devsim
