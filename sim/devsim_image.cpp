#include "devsim_image.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "devsim_report.h"
#include "process.h"
#include "sandbox.h"

namespace devsim {
namespace {

// The loader's report of a run is a few hundred bytes; more is not its.
constexpr size_t kReportLimit = 1 << 20;

std::vector<std::string> loaderCommand(const Options& o, const sim::Session& session) {
  std::vector<std::string> argv = {"qemu-mipsel", "-L", o.image, o.image + "/bin/tapload", session.modulePath(),
                                   session.disk(), "--start-dir", o.startDir, "--chdir-success",
                                   std::to_string(o.chdirSuccess)};
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

// Reads the loader's report (tapload.cpp lists its lines).
bool parseReport(const std::string& text, Outcome& out) {
  std::istringstream in(text);
  int filled = 0;
  for (std::string key; in >> key;) {
    if (key == "init") {
      in >> out.init >> filled;
      out.slotsFilled = filled == 1;
    } else if (key == "main") {
      in >> out.main;
    } else if (key == "event") {
      Event e{};
      uint32_t result = 0;
      in >> e.code >> e.param1 >> e.param2 >> result;
      out.events.push_back({e, result});
    } else if (key == "system") {
      sim::platform::ShellCall call;
      size_t length = 0;
      in >> call.status >> length;
      call.ran = true;
      if (in.get() != '\n' || length > text.size()) return false;
      call.command.resize(length);
      in.read(call.command.data(), static_cast<std::streamsize>(length));
      out.commands.push_back(call);
    } else if (key == "cwd") {
      in >> std::ws;
      std::getline(in, out.cwd);
    } else if (key == "heap") {
      in >> out.liveBlocks >> out.peakBytes;
    } else if (key == "calls") {
      in >> out.firmwareCalls;
    } else {
      return false;
    }
    if (!in) return false;
  }
  return true;
}

}  // namespace

Outcome runInImage(const Options& o, const sim::Session& session) {
  if (access((o.image + "/bin/tapload").c_str(), X_OK) != 0)
    fail("no device image at " + o.image + " (no bin/tapload; make image builds one)");
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
    fail(status == 127 ? "cannot run qemu-mipsel for the device image (scripts/setup installs it)"
         : line.empty() ? "the device image's loader failed with status " + std::to_string(status)
                        : "in the device image: " + line);
  }
  Outcome out;
  if (!parseReport(report, out)) fail("the device image's loader gave a report devsim cannot read");
  return out;
}

}  // namespace devsim
