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
// disk. devsim runs in two parts: the
// outside (outside.h), which alone prints, and its confined part
// (confined.h), in which the module runs with the real libc and a real
// shell: loaded into that process, with --image by the device image's loader
// under qemu-mipsel, or with --vm in a MIPS Linux VM (vm.h).
//
// Exit status: 0 done; 1 bad input (one line says why); 2 a wrong command
// line; 3 (run) the run completed but the module's command did not write the
// kernel setting (the shell failed); 124 the run took longer than its
// time limit; 128 + N the run was ended by the signal N.
//
// The run model is run.h, its records records.h, the report report.h, the
// run in the device image image.h, in the VM vm.h; check is check.h.
#include <stdio.h>

#include "check.h"
#include "confine.h"
#include "confined.h"
#include "fail.h"
#include "image.h"
#include "options.h"
#include "outside.h"
#include "run.h"
#include "session.h"
#include "vm.h"

namespace {

// The run in devsim's confined part: the module and disk the outside handed
// in, the run here, in the device image or in the VM, and everything back.
int runConfined(const devsim::Options& o, int argc, char** argv) {
  sim::SessionOptions options;
  options.shell = o.shell;
  sim::Session& session = sim::Session::start(argc, argv, options);
  session.useModule(devsim::confined::takeInput(session, o.module));
  const bool inImage = !o.image.empty(), inVm = !o.vm.empty();
  session.resetTerminals(o.terminals);
  session.clearKernelSetting();
  // The image's loader starts its own firmware and loads its own data: here
  // only the disk and the start folder are settled.
  const sim::FirmwareSetup setup{o.disk.empty() || devsim::confined::channelled() ? "" : o.disk, o.chdirSuccess,
                                 o.startDir, o.taskData, o.utf8};
  if (inImage || inVm)
    session.resetFirmware(setup);
  else
    session.boot(setup);
  devsim::Outcome out = inVm      ? devsim::vm::run(o, session)
                        : inImage ? devsim::runInImage(o, session)
                                  : devsim::runHere(o, session);
  devsim::confined::giveBack(session, out);
  return 0;
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
  if (!sim::confine::inside::own("devsim")) return devsim::outside(o, argc, argv);
  devsim::confined::records();  // from here on a failure is said to the outside
  return o.command == devsim::Command::Check ? devsim::check(o, argc, argv) : runConfined(o, argc, argv);
}
