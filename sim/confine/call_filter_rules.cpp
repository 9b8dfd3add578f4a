// Writes the confinement's call filter, by call name with libseccomp, for
// the machine this runs on; the build runs it with the machine's own
// compiler, also for the device build, whose programs run under qemu-mipsel
// while bwrap and the kernel stay the machine's.
//
//   call_filter_rules OUT
//
// OUT is a C++ fragment: the filter as classic BPF for a program that
// confines no programs of its own (kTopFilter) and for one that does
// (kNestedFilter), and the machine it was made for (kFilterMachine). A
// machine libseccomp does not know, or one whose calls these rules cannot
// read (the rules look at the first argument of socket, clone and unshare),
// stops the build with one line: the confinement never runs unfiltered.
//
// To the kernel the confined program is an ordinary user, and yet some
// things no namespace separates answer any user: a service's unix socket on
// the tree (connecting writes nothing to the file system), io_uring (whose
// operations pass a filter), and the kernel keyrings. So every socket family
// but inet and inet6 (which meet only the empty network namespace) is
// refused, as are socketpair, io_uring and every keyring call; and, unless
// the program confines programs of its own, new user namespaces (clone3,
// whose flags a filter cannot read, answers ENOSYS and the C library falls
// back to clone). A program that does confine its own keeps netlink
// sockets, with which bwrap brings up their loopback.
#include <errno.h>
#include <sched.h>
#include <seccomp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& line) {
  fprintf(stderr, "call_filter_rules: %s\n", line.c_str());
  exit(1);
}

// The machines whose socket, clone and unshare take the family or the
// flags as their first argument.
const uint32_t kKnown[] = {SCMP_ARCH_X86_64, SCMP_ARCH_X86,     SCMP_ARCH_AARCH64,
                           SCMP_ARCH_ARM,    SCMP_ARCH_RISCV64, SCMP_ARCH_PPC64LE};

void rule(scmp_filter_ctx ctx, uint32_t action, const char* call, unsigned count = 0, scmp_arg_cmp cmp = {}) {
  const int nr = seccomp_syscall_resolve_name(call);
  if (nr == __NR_SCMP_ERROR) fail(std::string("no call named ") + call + " here");
  if (nr < 0) return;  // not a call of this machine (socketcall on most)
  const int rc = count ? seccomp_rule_add(ctx, action, nr, 1, cmp) : seccomp_rule_add(ctx, action, nr, 0);
  if (rc != 0) fail(std::string("cannot add the rule for ") + call + ": " + strerror(-rc));
}

std::vector<unsigned char> filter(bool nested) {
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (ctx == nullptr) fail("libseccomp cannot start a filter");
  const uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
  for (const char* call : {"socketpair", "socketcall", "add_key", "request_key", "keyctl", "io_uring_setup",
                           "io_uring_enter", "io_uring_register"})
    rule(ctx, refuse, call);
  // Every family but the allowed ones, one by one, and any number past them.
  constexpr unsigned kFamilies = 64;
  for (unsigned family = 0; family < kFamilies; ++family)
    if (family != AF_INET && family != AF_INET6 && !(nested && family == AF_NETLINK))
      rule(ctx, refuse, "socket", 1, SCMP_A0(SCMP_CMP_EQ, family));
  rule(ctx, refuse, "socket", 1, SCMP_A0(SCMP_CMP_GE, kFamilies));
  if (!nested) {
    rule(ctx, SCMP_ACT_ERRNO(ENOSYS), "clone3");
    for (const char* call : {"clone", "unshare"})
      rule(ctx, refuse, call, 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_NEWUSER, CLONE_NEWUSER));
  }
  char path[] = "/tmp/call-filter-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || seccomp_export_bpf(ctx, fd) != 0) fail("cannot export the filter");
  unlink(path);
  std::vector<unsigned char> bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
  if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) fail("cannot read the filter");
  close(fd);
  seccomp_release(ctx);
  return bytes;
}

void put(FILE* out, const char* name, const std::vector<unsigned char>& bytes) {
  fprintf(out, "constexpr unsigned char %s[] = {", name);
  for (size_t i = 0; i < bytes.size(); ++i)
    fprintf(out, "%s%u", i == 0 ? "\n    " : i % 24 ? "," : ",\n    ", bytes[i]);
  fprintf(out, "};\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) fail("usage: call_filter_rules OUT");
  const uint32_t arch = seccomp_arch_native();
  bool known = false;
  for (uint32_t k : kKnown) known = known || k == arch;
  struct utsname machine;
  uname(&machine);
  if (!known) fail(std::string("the confinement's call filter does not know this machine (") + machine.machine + ")");
  FILE* out = fopen(argv[1], "w");
  if (out == nullptr) fail(std::string("cannot write ") + argv[1]);
  fprintf(out, "// Made by call_filter_rules: the call filter for %s.\n", machine.machine);
  fprintf(out, "constexpr char kFilterMachine[] = \"%s\";\n", machine.machine);
  put(out, "kTopFilter", filter(false));
  put(out, "kNestedFilter", filter(true));
  return fclose(out) == 0 ? 0 : 1;
}
