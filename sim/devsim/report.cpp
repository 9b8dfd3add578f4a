#include "report.h"

#include <stdio.h>

#include <algorithm>

#include "fail.h"
#include "identity.h"
#include "layout.h"
#include "process.h"
#include "record.h"
#include "tapheader.h"

namespace devsim {
namespace {

using sim::record::escaped;
using sim::record::quoted;

// How much of a file a report line shows.
constexpr size_t kShownBytes = 256;

// A file's first kShownBytes bytes quoted, and its length when they are not
// all of it.
std::string shownFile(const sim::sandbox::FileBytes& file) {
  const std::string head = file.bytes.substr(0, kShownBytes);
  if (head.size() == file.size) return quoted(head);
  return quoted(head) + "... (" + std::to_string(file.size) + " bytes, the first " + std::to_string(head.size()) +
         " shown)";
}

void reportIdentity(const std::string& module, const sim::Identity& identity) {
  char id[16];
  snprintf(id, sizeof id, "0x%08X", identity.id);
  char value[16];
  snprintf(value, sizeof value, "0x%X", identity.headerValue);
  report("module", escaped(module));
  report("name", escaped(identity.name));
  report("version", escaped(identity.version));
  report("id", id);
  report("date", escaped(identity.date));
  report("header", std::string(TAP_HEADER_MAGIC " ") + value + ", ok");  // readIdentity refuses any other
}

void reportEntries(const Outcome& out) {
  if (!out.slotsFilled) fail("__TAP_Init_ returned " + std::to_string(out.init) + " but left an entry slot empty");
  report("init", "__TAP_Init_ returned " + std::to_string(out.init) + "; main and event slots filled");
  report("main", "TAP_Main returned " + std::to_string(out.main));
  const std::string text = sim::record::printed(out.calls.firmware);
  if (!text.empty()) report("printed", quoted(text));
  for (const EventCall& e : out.events) {
    char call[96];
    snprintf(call, sizeof call, "TAP_EventHandler(0x%X, %u, %u) returned %u", e.code, e.param1, e.param2, e.result);
    report("event", call);
  }
}

// The bytes TERMINAL received, as a report line.
void reportTerminal(int number, uint64_t size, const std::string& bytes) {
  const sim::sandbox::FileBytes file{size, bytes};
  report("terminal",
         "/dev/pts/" + std::to_string(number) + " received " + std::to_string(size) + " bytes: " + shownFile(file));
}

void reportTerminals(const Options& o, const Outcome& out) {
  bool any = false;
  for (const TerminalBytes& t : out.terminals)
    if (t.size > 0) {
      reportTerminal(t.number, t.size, t.bytes);
      any = true;
    }
  if (!any) report("terminal", o.terminals.empty() ? "no pseudo-terminal present" : "nothing written");
}

// The commands and the kernel setting; answers whether the setting was
// written as the run should have written it: a command the module ran must
// have written it (a module that runs none may leave it). In the VM the
// setting is the kernel's own, which always holds a value: a command that
// ran must have changed it or have been answered by the shell's success.
bool reportCommands(const Options& o, const Outcome& out) {
  for (const sim::record::ShellCall& call : out.calls.commands) {
    std::string outcome;
    const sim::process::Ending ending = sim::process::ending(call.status);
    if (!call.ran)
      outcome = o.shell ? " (not run)" : " (not run: --no-shell)";
    else if (ending.exited)
      outcome = " (shell exit " + std::to_string(ending.code) + ")";
    else
      outcome = " (shell failed: status " + std::to_string(call.status) + ")";
    report("command", escaped(call.command) + outcome);
  }
  if (out.calls.commands.empty()) report("command", "none run");
  const sim::sandbox::FileBytes kernel{out.kernel.value_or("").size(), out.kernel.value_or("")};
  const std::string where = out.vm ? " (the VM's kernel; it held " + quoted(out.kernelBefore) + " before)"
                                   : " (the run's stand-in for " + std::string(sim::layout::kKernelSetting) + ")";
  const bool ranWell = std::any_of(out.calls.commands.begin(), out.calls.commands.end(),
                                   [](const auto& c) { return c.ran && c.status == 0; });
  const bool written = out.vm ? kernel.bytes != out.kernelBefore || ranWell : kernel.size > 0;
  if (written || (out.vm && out.calls.commands.empty())) {
    report("kernel", "min_free_kbytes now holds " + shownFile(kernel) + where);
    return true;
  }
  if (!o.shell) {
    report("kernel", "min_free_kbytes not written: no shell with --no-shell" + where);
    return true;
  }
  if (out.calls.commands.empty()) {
    report("kernel", "min_free_kbytes not written: the module ran no command" + where);
    return true;
  }
  report("kernel", "min_free_kbytes was NOT written by this run" + where + "; devsim exits 3");
  return false;
}

void reportSettings(const std::string& disk, const SettingsFiles& before) {
  const SettingsFiles after = settingsFiles(disk, kComparedBytes);
  bool any = false;
  for (size_t i = 0; i < std::size(kSettingsFiles); ++i) {
    const auto& was = before[i];
    const auto& now = after[i];
    if (!was && !now) continue;
    const bool same = was && now && was->size == now->size && was->bytes == now->bytes;
    const char* what = !now ? "deleted" : !was ? "created" : same ? "unchanged" : "rewritten";
    report("settings", std::string(kSettingsFiles[i]) + " " + what +
                           (now ? ", " + std::to_string(now->size) + " bytes " + shownFile(*now) : ""));
    any = true;
  }
  if (!any) report("settings", "no settings file on the disk");
}

// "40 firmware, 8 dynamic-linker (dlopen 2, dlsym 2, dlerror 2, dlclose 2)"
std::string callCounts(const sim::record::Calls& calls) {
  using sim::record::LinkerFn;
  auto count = [&](LinkerFn fn) {
    return std::to_string(
        std::count_if(calls.linker.begin(), calls.linker.end(), [fn](const auto& c) { return c.fn == fn; }));
  };
  return std::to_string(calls.firmware.size()) + " firmware, " + std::to_string(calls.linker.size()) +
         " dynamic-linker (dlopen " + count(LinkerFn::Open) + ", dlsym " + count(LinkerFn::Symbol) + ", dlerror " +
         count(LinkerFn::Error) + ", dlclose " + count(LinkerFn::Close) + ")";
}

void reportState(const Outcome& out) {
  report("cwd", escaped(out.cwd));
  report("heap", std::to_string(out.liveBlocks) + " blocks live, peak " + std::to_string(out.peakBytes) + " bytes");
  report("calls", callCounts(out.calls));
}

}  // namespace

void report(const char* what, const std::string& text) { printf("%-10s %s\n", what, text.c_str()); }

int reportRun(const Options& o, const sim::Identity& identity, const Outcome& out, const SettingsFiles& before,
              const DiskState& diskBefore, const std::string& disk) {
  reportIdentity(o.module, identity);
  if (!o.image.empty())
    report("image",
           escaped(o.image) + ": the device's C library and loader, under qemu-mipsel as a MIPS32 release 1 core");
  if (out.vm)
    report("vm", "Linux " + escaped(out.vm->release) + ", " + std::to_string(o.memory) + " MiB (" +
                     std::to_string(out.vm->totalKb) + " kB for the kernel's use), under qemu-system-mipsel; " +
                     escaped(o.vm));
  reportEntries(out);
  reportTerminals(o, out);
  const bool written = reportCommands(o, out);
  if (isOurModule(identity)) reportSettings(disk, before);
  for (const std::string& line : diskLines(diskBefore, diskState(disk))) report("disk", line);
  for (const std::string& path : out.notKept)
    report("disk", escaped(path) + " was left on the run's disk as no folder or regular file; not kept");
  for (const std::string& path : out.notHandedIn)
    report("disk", escaped(path) + " is no folder or regular file; it was not handed to the run, and stays");
  if (out.vm) {
    report("memory", "available " + std::to_string(out.vm->availableBefore) + " kB before the run, " +
                         std::to_string(out.vm->availableAfter) + " kB after");
  }
  reportState(out);
  if (o.trace) {
    // Every call the module made, in the order it made them.
    printf("--- calls, in order\n");
    for (const std::string& line : sim::record::lines(out.calls)) printf("%s\n", line.c_str());
  }
  return written ? 0 : 3;
}

}  // namespace devsim
