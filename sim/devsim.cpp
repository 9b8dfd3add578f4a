// devsim: runs a module file once in the simulated device, or tells what the
// module will do with a settings file.
//
//   devsim run MODULE [options]
//   devsim check [--sandbox DIR | FILE] [--module MODULE]
//
// run checks and prints the module's identity header, hands it its entry
// record, calls its main entry and delivers events, then reports what the
// device would show: the terminal line, the command and the kernel setting it
// wrote, and the module's settings files. The module runs confined
// (confinement.h) on the sandbox folder, with the real libc and a real shell:
// loaded into this process, or with --image by the device image's loader
// under qemu-mipsel (devsim_image.h). check is devsim_check.h.
//
// Exit status: 0 done; 1 bad input (one line says why); 2 a wrong command
// line; 3 (run) the run completed but the kernel setting was not written (the
// shell failed, or no command was run).
#include <stdio.h>

#include <optional>
#include <string>
#include <vector>

#include "confinement.h"
#include "device.h"
#include "devsim_check.h"
#include "devsim_image.h"
#include "devsim_options.h"
#include "devsim_report.h"
#include "devsim_run.h"
#include "devsim_settings.h"
#include "linker.h"
#include "platform.h"
#include "sandbox.h"
#include "session.h"
#include "tapheader.h"

namespace {

using devsim::Event;
using devsim::fail;
using devsim::Options;
using devsim::Outcome;
using devsim::report;
using devsim::escaped;
using devsim::shown;
using devsim::shownFile;
using SettingsFiles = std::vector<std::optional<sim::sandbox::FileBytes>>;

// How much of each settings file the report compares to tell whether the
// run changed it.
constexpr size_t kComparedBytes = 1 << 16;

void reportIdentity(const std::string& module, const sim::Identity& identity) {
  char id[16];
  snprintf(id, sizeof id, "0x%08X", identity.id);
  char value[16];
  snprintf(value, sizeof value, "0x%X", identity.headerValue);
  // Every text the module file or its run brings is shown escaped, so that
  // none of it can pass for another line of the report.
  report("module", escaped(module));
  report("name", escaped(identity.name));
  report("version", escaped(identity.version));
  report("id", id);
  report("date", escaped(identity.date));
  report("header", std::string(TAP_HEADER_MAGIC " ") + value +
                       (identity.headerValue == TAP_HEADER_VALUE ? ", ok" : ", unexpected value"));
}

using InitEntry = int32_t(TapEntryRecord*);

// Hands the module loaded here its entry record, calls its main entry and
// delivers the events; the records are the firmware's and this program's.
Outcome runHere(const Options& o, sim::Session& session) {
  using sim::confinement::announce;
  announce("while loading the module");
  auto init = session.module().get<InitEntry>("__TAP_Init_");
  if (init == nullptr) fail(o.module + " has no entry point __TAP_Init_");
  Outcome out;
  TapEntryRecord entries = {nullptr, nullptr};
  announce("in __TAP_Init_");
  out.init = init(&entries);
  out.slotsFilled = entries.main != nullptr && entries.event != nullptr;
  if (!out.slotsFilled) return out;
  announce("in TAP_Main");
  out.main = entries.main();
  for (const Event& e : o.events) {
    announce("in TAP_EventHandler");
    out.events.push_back({e.code, e.param1, e.param2, entries.event(e.code, e.param1, e.param2)});
  }
  announce("after the module's run");
  out.firmware = sim::firmware().trace();
  out.linker = sim::linker::calls();
  out.opens = sim::platform::opens();
  out.commands = sim::platform::commands();
  out.cwd = sim::firmware().currentDir();
  const sim::MemoryStats mem = sim::firmware().memory();
  out.liveBlocks = mem.liveBlocks;
  out.peakBytes = mem.peakBytes;
  return out;
}

void reportEntries(const Outcome& out) {
  if (!out.slotsFilled)
    fail("__TAP_Init_ returned " + std::to_string(out.init) + " but left an entry slot empty");
  report("init", "__TAP_Init_ returned " + std::to_string(out.init) + "; main and event slots filled");
  report("main", "TAP_Main returned " + std::to_string(out.main));
  const std::string text = devsim::printed(out);
  if (!text.empty()) report("printed", shown(text));
  for (const devsim::EventCall& e : out.events) {
    char call[96];
    snprintf(call, sizeof call, "TAP_EventHandler(0x%X, %u, %u) returned %u", e.code, e.param1, e.param2, e.result);
    report("event", call);
  }
}

void reportTerminals(const Options& o, const sim::Session& session) {
  bool any = false;
  for (int t : o.terminals) {
    std::string error;
    const auto bytes =
        sim::sandbox::readRegular(session.root(), "dev/pts/" + std::to_string(t), devsim::kShownBytes, error);
    if (!bytes || bytes->size == 0) continue;
    report("terminal", "/dev/pts/" + std::to_string(t) + " received " + std::to_string(bytes->size) +
                           " bytes: " + shownFile(*bytes));
    any = true;
  }
  if (!any) report("terminal", o.terminals.empty() ? "no pseudo-terminal present" : "nothing written");
}

// The commands and the kernel setting; answers whether the setting was
// written as the run should have written it.
bool reportCommands(const Options& o, const sim::Session& session, const Outcome& out) {
  for (const sim::platform::ShellCall& call : out.commands) {
    std::string outcome;
    if (!call.ran)
      outcome = o.shell ? " (not run)" : " (not run: --no-shell)";
    else if (call.status >= 0 && (call.status & 0x7F) == 0)
      outcome = " (shell exit " + std::to_string((call.status >> 8) & 0xFF) + ")";
    else
      outcome = " (shell failed: status " + std::to_string(call.status) + ")";
    report("command", escaped(call.command) + outcome);
  }
  if (out.commands.empty()) report("command", "none run");
  std::string error;
  const auto kernel =
      sim::sandbox::readRegular(session.root(), "proc/sys/vm/min_free_kbytes", devsim::kShownBytes, error);
  const std::string where = " (" + escaped(session.kernelSettingPath()) + ")";
  if (kernel && kernel->size > 0) {
    report("kernel", "min_free_kbytes now holds " + shownFile(*kernel) + where);
    return true;
  }
  if (!o.shell) {
    report("kernel", "min_free_kbytes not written: no shell with --no-shell" + where);
    return true;
  }
  report("kernel", "min_free_kbytes was NOT written by this run" + where + "; devsim exits 3");
  return false;
}

void reportSettings(const sim::Session& session, const SettingsFiles& before) {
  const SettingsFiles after = devsim::settingsFiles(session.disk(), kComparedBytes);
  bool any = false;
  for (size_t i = 0; i < std::size(devsim::kSettingsFiles); ++i) {
    const auto& was = before[i];
    const auto& now = after[i];
    if (!was && !now) continue;
    const bool same = was && now && was->size == now->size && was->bytes == now->bytes;
    const char* what = !now ? "deleted" : !was ? "created" : same ? "unchanged" : "rewritten";
    report("settings", std::string(devsim::kSettingsFiles[i]) + " " + what +
                           (now ? ", " + std::to_string(now->size) + " bytes " + shownFile(*now) : ""));
    any = true;
  }
  if (!any) report("settings", "no settings file on the disk");
}

void reportState(const Outcome& out) {
  report("cwd", escaped(out.cwd));
  report("heap", std::to_string(out.liveBlocks) + " blocks live, peak " + std::to_string(out.peakBytes) + " bytes");
  report("calls", devsim::callCounts(out));
}

// Every call the module made, in the order it made them: firmware,
// dynamic-linker, terminal open and system calls in one list.
void printTrace(const Outcome& out) {
  printf("--- calls, in order\n");
  for (const std::string& line : devsim::callLines(out)) printf("%s\n", line.c_str());
}

int run(const Options& o, int argc, char** argv) {
  sim::SessionOptions options{o.sandbox, {}, o.shell};
  if (!o.disk.empty()) options.writable.push_back(o.disk);
  options.reach = {o.module};
  if (!o.image.empty()) options.reach.push_back(o.image);
  options.timeout = o.timeout;
  sim::Session& session = sim::Session::start(argc, argv, options);

  session.useModule(o.module);
  const bool inImage = !o.image.empty();
  std::string error;
  const auto identity =
      sim::readIdentity(session.modulePath(), error, inImage ? sim::Machine::Device : sim::Machine::ThisOne);
  if (!identity) fail(error);
  session.resetTerminals(o.terminals);
  session.clearKernelSetting();
  // The image's loader starts its own firmware and loads its own data: here
  // only the disk and the start folder are settled.
  const sim::FirmwareSetup setup{o.disk, o.chdirSuccess, o.startDir, o.taskData, o.utf8};
  if (inImage)
    session.resetFirmware(setup);
  else
    session.boot(setup);
  const SettingsFiles settingsBefore = devsim::settingsFiles(session.disk(), kComparedBytes);
  const Outcome out = inImage ? devsim::runInImage(o, session) : runHere(o, session);

  reportIdentity(o.module, *identity);
  if (inImage)
    report("image", escaped(o.image) + ": the device's C library and loader, under qemu-mipsel as a MIPS32 release 1 core");
  reportEntries(out);
  reportTerminals(o, session);
  const bool written = reportCommands(o, session, out);
  reportSettings(session, settingsBefore);
  reportState(out);
  if (o.trace) printTrace(out);
  return written ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const devsim::Parsed parsed = devsim::parse(argc, argv);
  if (parsed.help) {
    fputs(devsim::kUsage, stdout);
    return 0;
  }
  if (!parsed.options) fail(parsed.error, 2);
  const Options& o = *parsed.options;
  return o.command == devsim::Command::Check ? devsim::check(o, argc, argv) : run(o, argc, argv);
}
