#include "call_filter.h"

#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <algorithm>

namespace sim::confinement {
namespace {

// To the kernel the confined program is an ordinary user, and yet some
// things no namespace separates answer any user: a service's unix socket
// anywhere on the read-only tree (connecting writes nothing to the file
// system), io_uring (whose operations pass the filter), and the kernel
// keyrings. So the filter refuses every socket family but inet and inet6
// (which meet only the empty network namespace), socketpair, io_uring and
// every keyring call; and, unless the program confines programs of its own,
// new user namespaces (clone3, whose flags it cannot read, answers ENOSYS,
// and the C library falls back to clone). A program that does confine its
// own keeps netlink sockets, with which bwrap brings up their loopback (in a
// network namespace as empty as its own). The numbers are the machine's:
// bwrap and the kernel run natively, also when the program runs under qemu.
// On a machine not listed the filter refuses nothing.
struct Architecture {
  uint32_t arch;
  uint32_t socket, unshare, clone;  // allowed for some arguments only
  std::vector<uint32_t> refused;    // refused outright
  bool x32;                         // x86_64's x32 calls, refused outright
};
constexpr uint32_t kClone3 = 435;
// socketpair, add_key, request_key, keyctl, io_uring_setup, _enter, _register
// (and socketcall on i386).
const Architecture kArchitectures[] = {
    {AUDIT_ARCH_X86_64, 41, 272, 56, {53, 248, 249, 250, 425, 426, 427}, true},
    {AUDIT_ARCH_I386, 359, 310, 120, {360, 286, 287, 288, 425, 426, 427, 102}, false},
    {AUDIT_ARCH_AARCH64, 198, 97, 220, {199, 217, 218, 219, 425, 426, 427}, false},
};

// A classic BPF program whose forward jumps name their targets by label.
class Filter {
 public:
  void load(uint32_t offset) { code_.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)); }
  // Jumps to LABEL when the test holds (or, UNLESS, when it does not), else
  // goes on.
  void jumpIf(uint16_t test, uint32_t value, int label, bool unless = false) {
    jumps_.push_back({code_.size(), label, unless});
    code_.push_back(BPF_JUMP(BPF_JMP | test | BPF_K, value, 0, 0));
  }
  void answer(uint32_t action) { code_.push_back(BPF_STMT(BPF_RET | BPF_K, action)); }
  void mark(int label) {
    if (labels_.size() <= static_cast<size_t>(label)) labels_.resize(label + 1);
    labels_[label] = code_.size();
  }
  std::vector<sock_filter> code() {
    for (const Jump& j : jumps_)
      (j.unless ? code_[j.at].jf : code_[j.at].jt) = static_cast<uint8_t>(labels_[j.label] - j.at - 1);
    return code_;
  }

 private:
  struct Jump {
    size_t at;
    int label;
    bool unless;
  };
  std::vector<sock_filter> code_;
  std::vector<Jump> jumps_;
  std::vector<size_t> labels_;
};

}  // namespace

std::vector<sock_filter> callFilter(bool nested) {
  // The machine's error numbers, which a program built for the device does
  // not share (its ENOSYS is 89): EPERM and ENOSYS of the machines above.
  constexpr uint32_t kRefuse = SECCOMP_RET_ERRNO | 1, kMissing = SECCOMP_RET_ERRNO | 38, kAllow = SECCOMP_RET_ALLOW;
  Filter f;
  int label = 0;
  for (const Architecture& a : kArchitectures) {
    const int next = label++, socket = label++, family = label++, flags = label++, refuse = label++,
              missing = label++;
    f.load(offsetof(seccomp_data, arch));
    f.jumpIf(BPF_JEQ, a.arch, next, true);
    f.load(offsetof(seccomp_data, nr));
    if (a.x32) f.jumpIf(BPF_JGE, 0x40000000, refuse);
    for (uint32_t call : a.refused) f.jumpIf(BPF_JEQ, call, refuse);
    f.jumpIf(BPF_JEQ, a.socket, socket);
    if (!nested) {
      f.jumpIf(BPF_JEQ, kClone3, missing);
      f.jumpIf(BPF_JEQ, a.unshare, flags);
      f.jumpIf(BPF_JEQ, a.clone, flags);
    }
    f.answer(kAllow);
    // The family, the flags: the low word, these machines being little-endian.
    f.mark(socket);
    f.load(offsetof(seccomp_data, args));
    for (uint32_t allowed : {AF_INET, AF_INET6}) f.jumpIf(BPF_JEQ, allowed, family);
    if (nested) f.jumpIf(BPF_JEQ, AF_NETLINK, family);
    f.answer(kRefuse);
    f.mark(family);
    f.answer(kAllow);
    f.mark(flags);
    f.load(offsetof(seccomp_data, args));
    f.jumpIf(BPF_JSET, CLONE_NEWUSER, refuse);
    f.answer(kAllow);
    f.mark(refuse);
    f.answer(kRefuse);
    f.mark(missing);
    f.answer(kMissing);
    f.mark(next);
  }
  f.answer(kAllow);
  return f.code();
}

}  // namespace sim::confinement
