#include "outside.h"

#include <stdio.h>
#include <sys/stat.h>

#include "check.h"
#include "confine.h"
#include "disk_changes.h"
#include "fail.h"
#include "file.h"
#include "identity.h"
#include "layout.h"
#include "module.h"
#include "record.h"
#include "records.h"
#include "report.h"
#include "run_limits.h"
#include "sandbox.h"
#include "session.h"
#include "settings.h"
#include "tar.h"
#include "vm.h"

namespace devsim {
namespace {

using sim::tar::Entry;
using sim::tar::Kind;

void add(std::string& archive, const Entry& entry) {
  std::string error;
  if (!sim::tar::append(archive, entry, error)) fail(error);
}

// The module's bytes as the run's input holds them.
void addModule(std::string& archive, const std::string& module) {
  struct stat st;
  if (stat(module.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) > sim::limits::kDiskBytes)
    fail(module + ": too large for a module (more than " + std::to_string(sim::limits::kDiskBytes) + " bytes)");
  const auto bytes = sim::readFile(module);
  if (!bytes) fail(module + ": cannot be read");
  add(archive, {sim::layout::kInput, Kind::Folder});
  add(archive, {sim::layout::kInputModule, Kind::File, *bytes});
}

// A disk that holds FILE at DISK_PATH, and nothing else.
void addSettingsDisk(std::string& archive, const std::string& file, const std::string& diskPath) {
  const sim::sandbox::FileBytes bytes = namedSettingsFile(file);
  const std::string path = std::string(sim::layout::kDisk) + diskPath;
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    add(archive, {path.substr(0, slash), Kind::Folder});
  add(archive, {path, Kind::File, bytes.bytes});
}

sim::SessionOptions sessionOptions(const Options& o) {
  sim::SessionOptions options;
  options.timeout = o.timeout;
  if (!o.image.empty()) options.reach.push_back(o.image);
  if (!o.vm.empty()) {
    // The VM is given the run's time and killed at its end; the confinement
    // waits a little longer, so that devsim says which part stopped.
    options.reach.push_back(o.vm);
    options.timeout = o.timeout + 30;
    options.dataBytes = (uint64_t{o.memory} << 20) + sim::limits::kVmQemuBytes;
  }
  return options;
}

}  // namespace

int outside(const Options& o, int argc, char** argv) {
  const bool check = o.command == Command::Check;
  const std::string module = o.module.empty() ? sim::Session::buildModule() : o.module;
  const bool device = !o.image.empty() || !o.vm.empty();
  const sim::Identity identity =
      check ? moduleIdentity(module, sim::Machine::ThisOne, "devsim check asks a module built for this machine")
            : moduleIdentity(module, device ? sim::Machine::Device : sim::Machine::ThisOne,
                             "run it with --image DIR or --vm DIR");
  const bool ours = isOurModule(identity);
  std::string error;
  std::optional<sim::sandbox::Sandbox> sandbox;
  std::string input;
  SettingsFiles before;
  DiskState diskBefore;
  std::vector<std::string> notHandedIn;
  std::optional<SettingsEntry> entry;
  if (check) entry = settingsEntry(o, module, identity);
  if (check && !o.settingsFile.empty()) {
    addSettingsDisk(input, o.settingsFile, entry->files[0]);
  } else {
    sandbox = sim::sandbox::Sandbox::open(o.sandbox, check ? "" : o.disk, error);
    if (!sandbox) fail(error);
    // Read first, so that a file refused as settings (a link, too long) is
    // named as one.
    if (check) settingsFiles(sandbox->disk(), entry->files, 0);
    if (ours && !check) before = settingsFiles(sandbox->disk(), kComparedBytes);
    // A disk not made yet is the bare disk a run starts on: /ProgramFiles.
    struct stat st;
    if (lstat(sandbox->disk().c_str(), &st) == 0)
      diskBefore = diskState(sandbox->disk());
    else
      diskBefore.entries["/ProgramFiles"] = DiskEntry{DiskEntry::Folder};
    if (!sandbox->pack(input, notHandedIn, error)) fail(error);
  }
  addModule(input, module);
  sim::tar::finish(input);

  const sim::SessionOptions options = sessionOptions(o);
  sim::confine::Request request = sim::Session::request(argc, argv, options);
  request.input = input;
  request.output = sim::confine::Output::Module;
  request.terminals = check ? std::vector<int>{} : o.terminals;
  if (!sim::confine::available(error)) fail("cannot confine the module: " + error);
  const auto run = sim::confine::run(request, error);
  if (!run) fail(error);
  if (run->outputCapped)
    fprintf(stderr, "devsim: the module's output passed its cap of %zu bytes; the rest was not shown\n",
            sim::limits::kOutputBytes);

  Outcome out;
  std::string recordsError;
  const bool readable = readRecords(run->records, out, recordsError);
  if (readable && out.failure) fail(out.failure->second, out.failure->first);
  if (const std::string ended = sim::confine::describe(*run, options.timeout); !ended.empty())
    fail(ended, run->timedOut ? 124 : run->capped.empty() && !run->memoryExhausted ? run->status : 1);
  if (!readable || !out.ended)
    fail("the run gave no whole records" + (recordsError.empty() ? std::string() : ": " + recordsError) +
         "; its report cannot be made");
  if (run->status != 0) fail("the run's confined part ended with status " + std::to_string(run->status));
  if (check) {
    for (const auto& [word, text] : out.lines) report(word.c_str(), text);
    return 0;
  }
  std::vector<std::string> skipped;
  if (!sandbox->keep(run->disk, skipped, error)) fail(error);
  out.notKept.insert(out.notKept.end(), skipped.begin(), skipped.end());
  out.notHandedIn = notHandedIn;
  return reportRun(o, identity, out, before, diskBefore, sandbox->disk());
}

}  // namespace devsim
