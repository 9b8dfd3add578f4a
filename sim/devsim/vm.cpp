#include "vm.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disk_archive.h"
#include "fail.h"
#include "file.h"
#include "image.h"
#include "layout.h"
#include "process.h"
#include "record.h"
#include "records.h"
#include "run_limits.h"
#include "sandbox.h"
#include "tar.h"

namespace devsim::vm {
namespace {

using sim::record::quoted;

constexpr char kEmulator[] = "/usr/bin/qemu-system-mipsel";
// The disk channel: the tar in, and the disk's tar back, which the tmpfs's
// caps keep within it (headers and padding of kDiskFiles included).
constexpr uint64_t kChannelBytes = sim::limits::kDiskChannelBytes;
// Where qemu finds the records pipe.
constexpr int kRecordsFd = 3;
// What the VM's console shows of the end, kept for the line that names it.
constexpr size_t kConsoleTail = 16 << 10;

[[noreturn]] void failed(const std::string& line, int status = 4) { fail(line, status); }

std::string reason() { return strerror(errno); }

// --- the disk channel ---------------------------------------------------------

// The VM's part of the run: vmrun's arguments, one a line (sim/vm/init).
std::string arguments(const Options& o) {
  std::string terminals;
  for (int t : o.terminals) terminals += (terminals.empty() ? "" : ",") + std::to_string(t);
  std::vector<std::string> argv = {terminals.empty() ? "none" : terminals, "--", "/bin/tapload",
                                   std::string("/") + sim::layout::kInputModule, std::string("/") + sim::layout::kDisk};
  const std::vector<std::string> options = loaderOptions(o);
  argv.insert(argv.end(), options.begin(), options.end());
  std::string text;
  for (const std::string& a : argv) {
    if (a.find('\n') != std::string::npos || a.find('\0') != std::string::npos)
      failed("the VM takes no line end or zero byte in an option: " + quoted(a), 1);
    text += a + "\n";
  }
  return text;
}

// The disk channel, in the room's scratch folder: the run's arguments and
// module, and the disk, as a tar, at the start of a file of kChannelBytes.
std::string writeChannel(const Options& o, const sim::Session& session) {
  std::string archive, error;
  const auto module = sim::readFile(session.modulePath());
  if (!module) failed("cannot read " + quoted(session.modulePath()), 1);
  using sim::layout::kInput;
  bool fits = sim::tar::append(archive, {kInput, sim::tar::Kind::Folder}, error) &&
              sim::tar::append(archive, {std::string(kInput) + "/args", sim::tar::Kind::File, arguments(o)}, error) &&
              sim::tar::append(archive, {sim::layout::kInputModule, sim::tar::Kind::File, *module}, error) &&
              sim::disk::pack(session.disk(), sim::layout::kDisk, archive, error);
  if (!fits) failed(error, 1);
  sim::tar::finish(archive);

  const std::string path = session.scratch() + "/vm-channel.img";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  const bool written = fd >= 0 && write(fd, archive.data(), archive.size()) == static_cast<ssize_t>(archive.size()) &&
                       ftruncate(fd, static_cast<off_t>(kChannelBytes)) == 0;
  if (fd >= 0) close(fd);
  if (!written) failed("cannot write the VM's disk channel " + quoted(path) + ": " + reason(), 1);
  return path;
}

// The disk as the VM wrote it back: folders and files made, changed or
// removed to match; what is neither (a link, a device) is not copied and
// named in SKIPPED.
void readChannel(const std::string& path, const sim::Session& session, std::vector<std::string>& skipped) {
  std::string error;
  const auto channel = sim::sandbox::readRegular(path, kChannelBytes, error);
  unlink(path.c_str());
  std::vector<sim::tar::Entry> entries;
  if (!channel || !sim::disk::unpack(channel->bytes, entries, error))
    failed("the VM gave back a disk devsim cannot read: " + error, 1);
  if (entries.empty() || entries[0].path != sim::layout::kDisk || entries[0].kind != sim::tar::Kind::Folder)
    failed("the VM gave back no disk", 1);
  if (!sim::disk::apply(entries, sim::layout::kDisk, session.disk(), skipped, error)) failed(error, 1);
}

// --- the VM -------------------------------------------------------------------

std::vector<std::string> emulatorCommand(const Options& o, const std::string& channel) {
  // A comma in a path would end qemu's option there: doubled, it is one.
  std::string drive = channel;
  for (size_t at = 0; (at = drive.find(',', at)) != std::string::npos; at += 2) drive.insert(at, ",");
  const std::string append = "console=ttyS0 panic=-1 oops=panic nokaslr quiet steadyflow.disk_bytes=" +
                             std::to_string(sim::limits::kDiskBytes) +
                             " steadyflow.disk_files=" + std::to_string(sim::limits::kDiskEntries);
  std::vector<std::string> argv = {kEmulator, "-M", "malta", "-cpu", "24Kf", "-m", std::to_string(o.memory)};
  argv.insert(argv.end(), {"-nodefaults", "-no-user-config", "-no-reboot", "-display", "none", "-nic", "none"});
  argv.insert(argv.end(), {"-accel", "tcg,tb-size=64", "-sandbox",
                           "on,obsolete=deny,elevateprivileges=deny,spawn=deny,resourcecontrol=deny"});
  argv.insert(argv.end(), {"-kernel", o.vm + "/vmlinux", "-initrd", o.vm + "/initramfs.cpio", "-append", append});
  argv.insert(argv.end(), {"-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console"});
  argv.insert(argv.end(),
              {"-chardev", "file,id=records,path=/dev/fd/" + std::to_string(kRecordsFd), "-serial", "chardev:records"});
  argv.insert(argv.end(), {"-drive", "file=" + drive + ",format=raw,if=none,id=channel,cache=unsafe", "-device",
                           "virtio-blk-pci,drive=channel"});
  return argv;
}

// What came out of the VM while it ran.
struct Channels {
  std::string console;  // its last kConsoleTail bytes
  std::string records;
  std::string errors;  // qemu's own, the first few
  bool timedOut = false;
  std::string overflow;  // which channel passed its cap, if one did
  int status = 0;
};

// Runs qemu, reads its three outputs within their caps until it ends or the
// time is up (then it is killed).
Channels runEmulator(const Options& o, const std::string& channel) {
  int console[2], records[2], errors[2];
  if (pipe2(console, O_CLOEXEC) != 0 || pipe2(records, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0)
    failed("cannot make pipes for the VM: " + reason(), 1);
  sim::process::Child child;
  child.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  child.out = console[1];
  child.err = errors[1];
  const int recordsEnd = records[1];
  child.prepare = [recordsEnd] { return dup2(recordsEnd, kRecordsFd) == kRecordsFd; };
  const pid_t pid = sim::process::start(emulatorCommand(o, channel), child);
  for (int fd : {child.in, console[1], records[1], errors[1]}) close(fd);
  if (pid < 0) failed("cannot start " + std::string(kEmulator) + ": " + reason(), 1);

  Channels got;
  uint64_t consoleBytes = 0;
  auto read = [&](size_t i, const std::string& bytes) {
    if (i == 0) {
      consoleBytes += bytes.size();
      got.console += bytes;
      if (got.console.size() > 2 * kConsoleTail) got.console.erase(0, got.console.size() - kConsoleTail);
      if (consoleBytes > sim::limits::kVmConsoleBytes && got.overflow.empty()) got.overflow = "its console";
    } else if (i == 1) {
      got.records += bytes;
      if (got.records.size() > sim::limits::kRecordBytes && got.overflow.empty()) got.overflow = "its records";
      if (got.records.size() > sim::limits::kRecordBytes) got.records.resize(sim::limits::kRecordBytes);
    } else if (got.errors.size() < 4096) {
      got.errors += bytes;
    }
    return got.overflow.empty();
  };
  got.timedOut = sim::process::drain(pid, {console[0], records[0], errors[0]}, o.timeout, read);
  got.status = sim::process::wait(pid);
  return got;
}

// The console's line that holds WHAT, from WHAT on; empty when none does.
std::string consoleLine(const std::string& console, const std::string& what) {
  const size_t at = console.rfind(what);
  if (at == std::string::npos) return "";
  const std::string line = console.substr(at, console.find_first_of("\r\n", at) - at);
  return line.substr(0, 200);
}

std::string lastConsoleLine(const std::string& console) {
  std::string text = console;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t start = text.find_last_of("\r\n");
  return text.substr(start == std::string::npos ? 0 : start + 1).substr(0, 200);
}

// Ends devsim when the VM did not finish the run: the kernel's panic or
// oops by its own line, a VM that went quiet or stopped by what it showed
// last, records that are no loader's (RECORDS_ERROR).
void judgeEnding(const Options& o, const Channels& got, const Outcome& out, const std::string& recordsError) {
  const std::string oops = consoleLine(got.console, "Oops");
  const std::string panic = consoleLine(got.console, "Kernel panic - not syncing: ");
  if (!got.overflow.empty()) failed("the VM wrote more than its cap on " + got.overflow + "; it was stopped");
  if (!oops.empty()) failed("the VM's kernel oopsed: " + quoted(oops));
  if (!panic.empty()) failed("the VM's kernel panicked: " + quoted(panic.substr(28)));
  const std::string last = lastConsoleLine(got.console);
  const std::string shown = last.empty() ? "" : " (its console's last line: " + quoted(last) + ")";
  if (got.timedOut)
    failed("the VM stopped answering: the run did not end within its limit of " + std::to_string(o.timeout) +
           " s; it was killed" + shown);
  if (!recordsError.empty()) failed("the VM gave records devsim cannot read, " + recordsError, 1);
  if (!out.ended) {
    const std::string qemu = got.errors.substr(0, got.errors.find('\n'));
    if (got.console.empty() && !qemu.empty()) failed("cannot run the VM: " + quoted(qemu), 1);
    failed("the VM stopped before the run's end" + shown);
  }
}

}  // namespace

Outcome run(const Options& o, const sim::Session& session) {
  for (const char* file : {"/vmlinux", "/initramfs.cpio"})
    if (access((o.vm + file).c_str(), R_OK) != 0)
      failed("no VM at " + quoted(o.vm) + " (no " + (file + 1) + "; make vm builds one)", 1);
  if (access(kEmulator, X_OK) != 0)
    failed(std::string("cannot run the VM: no ") + kEmulator + " (scripts/setup installs it)", 1);
  const std::string channel = writeChannel(o, session);
  const Channels got = runEmulator(o, channel);
  Outcome out;
  out.vm.emplace();
  std::string error;
  readRecords(got.records, out, error);
  judgeEnding(o, got, out, error);
  if (out.vm->loaderStatus != 0) {
    const std::string line = out.vm->loaderError;
    failed(line.empty() ? "the loader in the VM failed with status " + std::to_string(out.vm->loaderStatus)
                        : "in the VM: " + line,
           1);
  }
  readChannel(channel, session, out.notKept);
  // The VM's own end is no end of devsim's records.
  out.ended = false;
  return out;
}

}  // namespace devsim::vm
