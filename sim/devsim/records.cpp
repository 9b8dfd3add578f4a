#include "records.h"

#include <errno.h>
#include <stdlib.h>

#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <type_traits>

#include "core.h"
#include "record.h"
#include "report_lines.h"
#include "report_text.h"

namespace devsim {
namespace {

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

// Reads one of the records of what a run left (its terminals, kernel
// setting, disk), what the VM adds, and what devsim's confined part says of
// its end, into OUT; false when it is none of them.
bool readEndRecord(Fields& f, Outcome& out) {
  const std::string& name = f.name();
  if (name == REPORT_TERMINAL) {
    TerminalBytes t;
    t.number = f.number<int>();
    t.size = f.number<uint64_t>();
    t.bytes = f.text().value_or("");
    if (t.number < 0 || t.bytes.size() > t.size) f.refuse();
    out.terminals.push_back(t);
  } else if (name == REPORT_KERNEL) {
    out.kernelBefore = f.text().value_or("");
    out.kernel = f.text();
  } else if (name == REPORT_SKIPPED) {
    out.notKept.push_back(f.text().value_or(""));
  } else if (name == REPORT_VM || name == REPORT_MEMORY || name == REPORT_LOADER) {
    VmFacts& vm = out.vm ? *out.vm : out.vm.emplace();
    if (name == REPORT_VM) {
      vm.release = f.text().value_or("");
      vm.totalKb = f.number<uint64_t>();
    } else if (name == REPORT_MEMORY) {
      vm.availableBefore = f.number<uint64_t>();
      vm.availableAfter = f.number<uint64_t>();
    } else {
      vm.loaderStatus = f.number<int>();
      vm.loaderError = f.text().value_or("");
    }
  } else if (name == REPORT_LINE) {
    const std::string word = f.text().value_or("");
    out.lines.push_back({word, f.text().value_or("")});
  } else if (name == REPORT_FAILURE) {
    const int status = f.number<int>();
    out.failure = {status, f.text().value_or("")};
    if (status < 1 || status > 255) f.refuse();
  } else if (name == REPORT_END) {
    out.ended = true;
  } else {
    return false;
  }
  return true;
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
  } else if (name == REPORT_SYSTEM || name == REPORT_NOT_RUN) {
    sim::record::ShellCall c;
    c.sequence = f.number<uint64_t>();
    c.command = f.text().value_or("");
    c.ran = name == REPORT_SYSTEM;
    if (c.ran) c.status = f.number<int>();
    out.calls.commands.push_back(c);
  } else if (name == REPORT_CWD) {
    out.cwd = f.text().value_or("");
  } else if (name == REPORT_HEAP) {
    out.liveBlocks = f.number<uint32_t>();
    out.peakBytes = f.number<uint64_t>();
  } else if (!readEndRecord(f, out)) {
    return false;
  }
  return f.ok();
}

}  // namespace

bool readRecords(const std::string& text, Outcome& out, std::string& error) {
  std::istringstream in(text);
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    Fields fields(line);
    ++number;
    // A record after the end is none.
    if (line.empty() || out.ended || !readRecord(fields, out)) {
      error = "at line " + std::to_string(number) + ": " + sim::record::quoted(line.substr(0, 80));
      return false;
    }
  }
  return true;
}

// --- writing ----------------------------------------------------------------------

namespace {

unsigned long long address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

void putOptional(FILE* out, const std::optional<std::string>& text) {
  if (text)
    putBytes(out, text->data(), text->size());
  else
    fputs(" -", out);
}

void putValue(FILE* out, const sim::TraceValue& v) {
  fprintf(out, " %u %u %u %u", static_cast<unsigned>(v.kind), v.null ? 1u : 0u, v.number, v.offset);
  putOptional(out, v.kind == sim::core::ValueKind::Text && !v.null ? std::optional<std::string>(v.text) : std::nullopt);
}

void putCall(FILE* out, const sim::FirmwareCall& c) {
  fprintf(out, REPORT_FIRMWARE " %llu %s %u %zu %u", static_cast<unsigned long long>(c.sequence), c.entry.c_str(),
          c.fault ? 1u : 0u, c.args.size(), c.result ? 1u : 0u);
  for (const sim::TraceValue& v : c.args) putValue(out, v);
  if (c.result) putValue(out, *c.result);
  fputc('\n', out);
}

void putCall(FILE* out, const sim::record::LinkerCall& c) {
  using sim::record::LinkerFn;
  const auto seq = static_cast<unsigned long long>(c.sequence);
  switch (c.fn) {
    case LinkerFn::Open:
      fprintf(out, REPORT_DLOPEN " %llu", seq);
      putOptional(out, c.name);
      fprintf(out, " %d %llu\n", c.flags, address(c.handle));
      break;
    case LinkerFn::Symbol:
      fprintf(out, REPORT_DLSYM " %llu %llu", seq, address(c.handle));
      putOptional(out, c.name);
      fprintf(out, " %llu\n", address(c.address));
      break;
    case LinkerFn::Error:
      fprintf(out, REPORT_DLERROR " %llu", seq);
      putOptional(out, c.error);
      fputc('\n', out);
      break;
    case LinkerFn::Close:
      fprintf(out, REPORT_DLCLOSE " %llu %llu\n", seq, address(c.handle));
      break;
  }
}

}  // namespace

void writeRecords(FILE* out, const Outcome& o) {
  fprintf(out, REPORT_INIT " %d %d\n", o.init, o.slotsFilled ? 1 : 0);
  if (o.slotsFilled) fprintf(out, REPORT_MAIN " %d\n", o.main);
  for (const EventCall& e : o.events) fprintf(out, REPORT_EVENT " %u %u %u %u\n", e.code, e.param1, e.param2, e.result);
  for (const sim::FirmwareCall& c : o.calls.firmware) putCall(out, c);
  for (const sim::record::LinkerCall& c : o.calls.linker) putCall(out, c);
  for (const sim::record::OpenCall& c : o.calls.opens) {
    fprintf(out, REPORT_OPEN " %llu", static_cast<unsigned long long>(c.sequence));
    putBytes(out, c.path.data(), c.path.size());
    fprintf(out, " %d %d %d\n", c.flags, c.result, c.error);
  }
  for (const sim::record::ShellCall& c : o.calls.commands) {
    fprintf(out, "%s %llu", c.ran ? REPORT_SYSTEM : REPORT_NOT_RUN, static_cast<unsigned long long>(c.sequence));
    putBytes(out, c.command.data(), c.command.size());
    if (c.ran) fprintf(out, " %d", c.status);
    fputc('\n', out);
  }
  fputs(REPORT_CWD, out);
  putBytes(out, o.cwd.data(), o.cwd.size());
  fprintf(out, "\n" REPORT_HEAP " %u %llu\n", o.liveBlocks, static_cast<unsigned long long>(o.peakBytes));
  if (o.vm) {
    fputs(REPORT_VM, out);
    putBytes(out, o.vm->release.data(), o.vm->release.size());
    fprintf(out, " %llu\n" REPORT_MEMORY " %llu %llu\n", static_cast<unsigned long long>(o.vm->totalKb),
            static_cast<unsigned long long>(o.vm->availableBefore),
            static_cast<unsigned long long>(o.vm->availableAfter));
  }
  writeEnd(out, o);
}

void writeEnd(FILE* out, const Outcome& o) {
  for (const TerminalBytes& t : o.terminals) {
    fprintf(out, REPORT_TERMINAL " %d %llu", t.number, static_cast<unsigned long long>(t.size));
    putBytes(out, t.bytes.data(), t.bytes.size());
    fputc('\n', out);
  }
  if (o.kernel) {
    fputs(REPORT_KERNEL, out);
    putBytes(out, o.kernelBefore.data(), o.kernelBefore.size());
    putBytes(out, o.kernel->data(), o.kernel->size());
    fputc('\n', out);
  }
  for (const std::string& path : o.notKept) {
    fputs(REPORT_SKIPPED, out);
    putBytes(out, path.data(), path.size());
    fputc('\n', out);
  }
  for (const auto& [word, text] : o.lines) {
    fputs(REPORT_LINE, out);
    putBytes(out, word.data(), word.size());
    putBytes(out, text.data(), text.size());
    fputc('\n', out);
  }
  if (o.failure) {
    fprintf(out, REPORT_FAILURE " %d", o.failure->first);
    putBytes(out, o.failure->second.data(), o.failure->second.size());
    fputc('\n', out);
  }
  fputs(REPORT_END "\n", out);
}

}  // namespace devsim
