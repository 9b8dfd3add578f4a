#include "image.h"

#include <fcntl.h>
#include <unistd.h>

#include "fail.h"
#include "process.h"
#include "records.h"
#include "sandbox.h"

namespace devsim {
namespace {

// The loader's report of a run is some kilobytes; more is not its.
constexpr size_t kReportLimit = 16 << 20;

std::vector<std::string> loaderCommand(const Options& o, const sim::Session& session) {
  std::vector<std::string> argv = {o.image + "/run", session.modulePath(), session.disk()};
  const std::vector<std::string> options = loaderOptions(o);
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

// The loader's output file NAME, read and removed.
std::string takeOutput(const sim::Session& session, const std::string& name) {
  std::string error;
  const auto file = sim::sandbox::readRegular(session.scratch(), name, kReportLimit, error);
  unlink((session.scratch() + "/" + name).c_str());
  return file ? file->bytes : "";
}

}  // namespace

std::vector<std::string> loaderOptions(const Options& o) {
  std::vector<std::string> argv = {"--start-dir", o.startDir, "--chdir-success", std::to_string(o.chdirSuccess)};
  if (!o.taskData) argv.push_back("--no-task-data");
  if (!o.utf8) argv.push_back("--no-utf8");
  for (const Event& e : o.events) {
    argv.push_back("--event");
    argv.push_back(std::to_string(e.code) + ":" + std::to_string(e.param1) + ":" + std::to_string(e.param2));
  }
  return argv;
}

Outcome runInImage(const Options& o, const sim::Session& session) {
  if (access((o.image + "/run").c_str(), X_OK) != 0)
    fail("no device image at " + o.image + " (no run; make image builds one)");
  const std::string tmp = session.scratch();
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
  std::string error;
  if (!readRecords(report, out, error)) fail("the device image's loader gave a report devsim cannot read, " + error);
  return out;
}

}  // namespace devsim
