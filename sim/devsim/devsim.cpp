// devsim: runs a module file once in the simulated device, or tells what the
// module will do with a settings file.
//
//   devsim run MODULE [options]
//   devsim check [--sandbox DIR | FILE] [--module MODULE] [--file DISK-PATH --key KEY ...]
//
// run checks and prints the module's identity header, hands it its entry
// record, calls its main entry and delivers events, then reports what the
// device would show: the terminal line, the command and the kernel setting it
// wrote, this project's module's settings files and what the run did to the
// disk. The module runs confined (confinement.h) on the sandbox folder, with
// the real libc and a real shell: loaded into this process, or with --image
// by the device image's loader under qemu-mipsel.
//
// Exit status: 0 done; 1 bad input (one line says why); 2 a wrong command
// line; 3 (run) the run completed but the module's command did not write the
// kernel setting (the shell failed); 124 the run took longer than its
// time limit; 128 + N the run was ended by the signal N.
//
// The run model is run.h, the report report.h, the run in the device image
// image.h; check is check.h.
#include <stdio.h>

#include "check.h"
#include "disk_changes.h"
#include "fail.h"
#include "identity.h"
#include "image.h"
#include "options.h"
#include "report.h"
#include "run.h"
#include "session.h"
#include "settings.h"
#include "vm.h"

namespace {

int run(const devsim::Options& o, int argc, char** argv) {
  sim::SessionOptions options;
  options.root = o.sandbox;
  options.shell = o.shell;
  if (!o.disk.empty()) options.writable.push_back(o.disk);
  options.reach = {o.module};
  if (!o.image.empty()) options.reach.push_back(o.image);
  options.timeout = o.timeout;
  if (!o.vm.empty()) {
    // The VM is given the run's time and killed at its end; the confinement
    // waits a little longer, so that devsim says which part stopped.
    options.reach.push_back(o.vm);
    options.timeout = o.timeout + 30;
    options.dataBytes = (uint64_t{o.memory} << 20) + devsim::vm::kQemuBytes;
  }
  sim::Session& session = sim::Session::start(argc, argv, options);

  session.useModule(o.module);
  const bool inImage = !o.image.empty(), inVm = !o.vm.empty();
  const sim::Identity identity = devsim::moduleIdentity(
      o.module, inImage || inVm ? sim::Machine::Device : sim::Machine::ThisOne, "run it with --image DIR or --vm DIR");
  session.resetTerminals(o.terminals);
  session.clearKernelSetting();
  // The image's loader starts its own firmware and loads its own data: here
  // only the disk and the start folder are settled.
  const sim::FirmwareSetup setup{o.disk, o.chdirSuccess, o.startDir, o.taskData, o.utf8};
  if (inImage || inVm)
    session.resetFirmware(setup);
  else
    session.boot(setup);
  const devsim::SettingsFiles before = devsim::isOurModule(identity)
                                           ? devsim::settingsFiles(session.disk(), devsim::kComparedBytes)
                                           : devsim::SettingsFiles{};
  const devsim::DiskState diskBefore = devsim::diskState(session.disk());
  const devsim::Outcome out = inVm      ? devsim::vm::run(o, session)
                              : inImage ? devsim::runInImage(o, session)
                                        : devsim::runHere(o, session);
  return devsim::reportRun(o, session, identity, out, before, diskBefore);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const devsim::Parsed parsed = devsim::parse(argc, argv);
  if (parsed.help) {
    fputs(devsim::kUsage, stdout);
    return 0;
  }
  if (parsed.version) {
    printf("devsim %s\n", STEADYFLOW_VERSION);
    return 0;
  }
  if (!parsed.options) devsim::fail(parsed.error, 2);
  const devsim::Options& o = *parsed.options;
  return o.command == devsim::Command::Check ? devsim::check(o, argc, argv) : run(o, argc, argv);
}
