// Benchmarks of the INI text store, run on the host module in the simulated
// device (make bench). Reading "MinimumKBFree" with the key on the last line
// is measured three ways in one run: the module's INIGetInt on the open text,
// a general INI parser (inih's ini_parse_string with a handler that keeps the
// key) and glibc's strcasestr of the key pattern as the baseline. Setting a
// value (replace and append) and opening files of the same sizes follow. A
// summary of the ratios closes the output. Nothing here asserts a time.
#include <benchmark/benchmark.h>
#include <ini.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "Steadyflow.h"
#include "module.h"
#include "firmware.h"
#include "session.h"
#include "helpers.h"

namespace {

using steadyflow::kDefault;
using steadyflow::kHighest;
using steadyflow::kKey;
using steadyflow::kLowest;
const std::string kPattern = std::string(kKey) + "=";
const std::string kKeyLine = kPattern + "12345\r\n";
constexpr int64_t kSizes[] = {64, 4 << 10, 64 << 10, 1 << 20};

// The module as the bench calls it: one loaded copy on the session's disk.
struct Host {
  decltype(&INIGetInt) getInt = nullptr;
  decltype(&INISetInt) setInt = nullptr;
  decltype(&INIOpenFile) openFile = nullptr;
  decltype(&INICloseFile) closeFile = nullptr;
  char** buffer = nullptr;
};
Host host;

void boot(int argc, char** argv) {
  sim::SessionOptions options;
  options.shell = false;
  sim::Session& session = sim::Session::start(argc, argv, options);
  sim::FirmwareSetup setup;
  setup.startDir = "/ProgramFiles";
  session.boot(setup);
  host.getInt = &session.module().exported<decltype(INIGetInt)>("INIGetInt");
  host.setInt = &session.module().exported<decltype(INISetInt)>("INISetInt");
  host.openFile = &session.module().exported<decltype(INIOpenFile)>("INIOpenFile");
  host.closeFile = &session.module().exported<decltype(INICloseFile)>("INICloseFile");
  host.buffer = &session.module().exported<char*>("INIBuffer");
}

// The kinds of settings text the reads are measured on, each SIZE bytes long
// with the key's entry as the last line.
enum class Kind { Typical, Dense, NearMiss };
const char* kindName(Kind kind) {
  return kind == Kind::Typical ? "typical" : kind == Kind::Dense ? "dense" : "near-miss";
}

// One filler line of KIND. Typical: a recorder's timer list, the key's first
// letter in either case once in about 50 bytes, as in English text. Dense: a letter 'm' or 'M' every
// eight bytes or so. Near-miss: every line an entry of the key that is
// commented out, or a key that differs from it only in its last letter.
std::string fillerLine(Kind kind, unsigned i) {
  char line[96];
  if (kind == Kind::Typical) {
    switch (i % 6) {
      case 0: snprintf(line, sizeof line, "[Timer %u]\r\n", i / 6); break;
      case 1: snprintf(line, sizeof line, "Channel=%u\r\n", i % 97); break;
      case 2: snprintf(line, sizeof line, "Start=20:%02u\r\n", i % 60); break;
      case 3: snprintf(line, sizeof line, "Title=Morning news, part %u\r\n", i % 5); break;
      case 4: snprintf(line, sizeof line, "; recorded to disk %u\r\n", i % 3); break;
      default: snprintf(line, sizeof line, "Duration=%u\r\n", 15 + i % 90); break;
    }
  } else if (kind == Kind::Dense) {
    switch (i % 4) {
      case 0: snprintf(line, sizeof line, "Timer%u=Mon 20:15 Channel %u\r\n", i, i % 100); break;
      case 1: snprintf(line, sizeof line, "; %u: minimum and maximum memory values\r\n", i); break;
      case 2: snprintf(line, sizeof line, "MaximumKBUsed%u=%u\r\n", i, i * 7); break;
      default: snprintf(line, sizeof line, "Menu%u=Main Media Movies\r\n", i); break;
    }
  } else {
    snprintf(line, sizeof line, i % 2 ? "#MinimumKBFree=%u\r\n" : "MinimumKBFreX=%u\r\n", i % 10);
  }
  return line;
}

// A settings text of KIND of exactly SIZE bytes, LAST_LINE at its end.
std::string settingsText(Kind kind, size_t size, const std::string& lastLine) {
  std::string text;
  for (unsigned i = 1;; ++i) {
    const std::string line = fillerLine(kind, i);
    if (text.size() + line.size() + lastLine.size() > size) break;
    text += line;
  }
  // Pad with one line of exactly the bytes still missing.
  const size_t gap = size - text.size() - lastLine.size();
  if (gap >= 3) text += ";" + std::string(gap - 3, '-') + "\r\n";
  else text += std::string("\r\n").substr(2 - gap);
  return text + lastLine;
}

std::string settingsText(size_t size) { return settingsText(Kind::Typical, size, kKeyLine); }

// Writes TEXT as FILE_NAME in the current directory and opens it.
void openText(const std::string& fileName, const std::string& text) {
  std::ofstream(sim::Session::current().hostPath("/ProgramFiles/" + fileName), std::ios::binary | std::ios::trunc)
      << text;
  if (host.openFile(fileName.c_str(), nullptr) != INILOCATION_AtCurrentDir)
    throw std::runtime_error("cannot open " + fileName);
  sim::firmware().clearTrace();
}

void setAllocationCounter(benchmark::State& state, uint32_t allocationsBefore) {
  const double made = sim::firmware().memory().allocations - allocationsBefore;
  state.counters["allocs"] = benchmark::Counter(made, benchmark::Counter::kAvgIterations);
}

// The texts the reads run on, made once.
const std::string& readText(Kind kind, int64_t size) {
  static std::map<std::pair<Kind, int64_t>, std::string> texts;
  auto it = texts.find({kind, size});
  if (it == texts.end()) it = texts.emplace(std::make_pair(kind, size), settingsText(kind, size, kKeyLine)).first;
  return it->second;
}

void countBytes(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}

// INIGetInt on the text open in the module, as the module reads it.
void GetIntModule(benchmark::State& state, Kind kind) {
  openText("bench.ini", readText(kind, state.range(0)));
  const uint32_t allocations = sim::firmware().memory().allocations;
  for (auto _ : state) benchmark::DoNotOptimize(host.getInt(kKey, kDefault, kLowest, kHighest));
  if (host.getInt(kKey, kDefault, kLowest, kHighest) != 12345) state.SkipWithError("INIGetInt did not find the key");
  setAllocationCounter(state, allocations);
  host.closeFile();
  countBytes(state);
}

int keepKey(void* user, const char*, const char* name, const char* value) {
  if (strcasecmp(name, kKey) == 0) *static_cast<long*>(user) = strtol(value, nullptr, 10);
  return 1;
}

// The peer: a whole parse, its handler keeping the key's value.
void GetIntInih(benchmark::State& state, Kind kind) {
  const std::string& text = readText(kind, state.range(0));
  long value = 0;
  for (auto _ : state) {
    ini_parse_string(text.c_str(), keepKey, &value);
    benchmark::DoNotOptimize(value);
  }
  if (value != 12345) state.SkipWithError("inih did not find the key");
  countBytes(state);
}

// The baseline: glibc's case-insensitive search for the key's pattern.
void GetIntStrcasestr(benchmark::State& state, Kind kind) {
  const std::string& text = readText(kind, state.range(0));
  const char* found = nullptr;
  for (auto _ : state) {
    found = strcasestr(text.c_str(), kPattern.c_str());
    benchmark::DoNotOptimize(found);
  }
  if (found == nullptr || strtol(found + kPattern.size(), nullptr, 10) != 12345)
    state.SkipWithError("strcasestr did not find the key");
  countBytes(state);
}

// Replaces the value on the last line: each set copies the text into a new block.
void SetIntReplace(benchmark::State& state) {
  openText("bench.ini", settingsText(state.range(0)));
  for (auto _ : state) {
    host.setInt(kKey, 12345);
    sim::firmware().clearTrace();
  }
  if (host.getInt(kKey, 0, 0, 99999) != 12345) state.SkipWithError("INISetInt lost the key");
  host.closeFile();
  countBytes(state);
}

// Appends a key the text lacks, then cuts the text back to its old end.
void SetIntAppend(benchmark::State& state) {
  openText("bench.ini", settingsText(state.range(0)));
  const size_t length = strlen(*host.buffer);
  for (auto _ : state) {
    host.setInt("SwapKBFree", 4096);
    (*host.buffer)[length] = '\0';
    sim::firmware().clearTrace();
  }
  host.setInt("SwapKBFree", 4096);
  if (host.getInt("SwapKBFree", 0, 0, 99999) != 4096) state.SkipWithError("INISetInt did not append");
  host.closeFile();
  countBytes(state);
}

// Opens and closes a file of the size: locating it, reading it whole through
// the simulated firmware (host file reads), and ending its last line.
void OpenFile(benchmark::State& state) {
  const std::string fileName = "open-" + std::to_string(state.range(0)) + ".ini";
  openText(fileName, settingsText(state.range(0)));
  host.closeFile();
  for (auto _ : state) {
    host.openFile(fileName.c_str(), nullptr);
    host.closeFile();
    sim::firmware().clearTrace();
  }
  countBytes(state);
}

// Registers BENCH once per size, with a linear fit over the sizes.
template <class Fn>
void addSeries(const std::string& name, Fn&& bench) {
  auto* b = benchmark::RegisterBenchmark(name.c_str(), bench);
  for (int64_t size : kSizes) b->Arg(size);
  b->Complexity(benchmark::oN);
}

// Keeps each run's CPU time per iteration (in ns) for the summary, and
// prints the runs as the console reporter does (in colour on a terminal).
class Recorder : public benchmark::ConsoleReporter {
 public:
  Recorder() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        nanoseconds[run.benchmark_name()] =
            run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nanoseconds;
};

std::string sizeName(int64_t size) {
  return size >= (1 << 20) ? std::to_string(size >> 20) + " MiB"
         : size >= 1024    ? std::to_string(size >> 10) + " KiB"
                           : std::to_string(size) + " B";
}

std::string readSeries(Kind kind, const char* way) { return std::string("GetInt/") + kindName(kind) + "/" + way; }

// The reads side by side, one table per kind of text; a ratio above 1 means
// the module is faster. The targets are judged on the typical text.
void printSummary(const std::map<std::string, double>& ns) {
  auto time = [&](const std::string& series, int64_t size) {
    const auto it = ns.find(series + "/" + std::to_string(size));
    return it == ns.end() ? 0.0 : it->second;
  };
  bool measured = true, fasterThanInih = true;
  double vsBaselineAtLargest = 0;
  for (Kind kind : {Kind::Typical, Kind::Dense, Kind::NearMiss}) {
    printf("\nINIGetInt(\"%s\") on %s text, key on the last line: CPU time per read\n", kKey, kindName(kind));
    printf("%-8s %12s %12s %12s %8s %14s %12s\n", "size", "module", "inih", "strcasestr", "vs inih", "vs strcasestr",
           "module GB/s");
    for (int64_t size : kSizes) {
      const double module = time(readSeries(kind, "module"), size), inih = time(readSeries(kind, "inih"), size),
                   baseline = time(readSeries(kind, "strcasestr"), size);
      if (module <= 0 || inih <= 0 || (baseline <= 0 && kind != Kind::NearMiss)) {
        measured = measured && kind != Kind::Typical;
        continue;
      }
      if (kind == Kind::Typical) {
        fasterThanInih = fasterThanInih && module < inih;
        vsBaselineAtLargest = baseline / module;
      }
      if (baseline > 0)
        printf("%-8s %9.0f ns %9.0f ns %9.0f ns %7.1fx %13.2fx %12.2f\n", sizeName(size).c_str(), module, inih,
               baseline, inih / module, baseline / module, size / module);
      else
        printf("%-8s %9.0f ns %9.0f ns %12s %7.1fx %14s %12.2f\n", sizeName(size).c_str(), module, inih, "-",
               inih / module, "-", size / module);
    }
  }
  printf("\n");
  if (measured)
    printf("targets on typical text: faster than inih at every size: %s; at least 0.5x strcasestr on %s: %s (%.2fx)\n",
           fasterThanInih ? "met" : "MISSED", sizeName(kSizes[std::size(kSizes) - 1]).c_str(),
           vsBaselineAtLargest >= 0.5 ? "met" : "MISSED", vsBaselineAtLargest);
  printf(
      "linear growth: each series' _BigO line gives its time per byte and _RMS how well O(N) fits (small is linear)\n");
}

}  // namespace

int main(int argc, char** argv) {
  boot(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  for (Kind kind : {Kind::Typical, Kind::Dense, Kind::NearMiss}) {
    addSeries(readSeries(kind, "module"), [kind](benchmark::State& s) { GetIntModule(s, kind); });
    addSeries(readSeries(kind, "inih"), [kind](benchmark::State& s) { GetIntInih(s, kind); });
    // On near-miss text strcasestr stops at the first entry, commented out.
    if (kind != Kind::NearMiss)
      addSeries(readSeries(kind, "strcasestr"), [kind](benchmark::State& s) { GetIntStrcasestr(s, kind); });
  }
  addSeries("SetInt/replace", SetIntReplace);
  addSeries("SetInt/append", SetIntAppend);
  addSeries("OpenFile", OpenFile);

  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  printSummary(recorder.nanoseconds);
  benchmark::Shutdown();
  return 0;
}
