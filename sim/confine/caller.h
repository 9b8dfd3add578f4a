// Who runs: the one test of who the caller is, and the identity a run gets.
#pragma once

#include <sys/types.h>

namespace sim::confine {

struct Ids {
  uid_t uid;
  gid_t gid;
};

// The caller as the kernel sees it: its ids, whether it is root (effective
// uid 0), and whether its user namespace is the machine's own (every id
// maps to itself). The machine's root is both; a program inside a
// confinement is neither.
struct Caller {
  Ids ids;
  bool root;
  bool machineNamespace;
  bool machineRoot() const { return root && machineNamespace; }
};
Caller caller();

// The identity a run gets. A run the machine's root starts gets an ordinary
// uid and gid of its own, in no other group, owning nothing on the machine:
// kIdentityBase and the starting process's number, so that no two runs at
// once share one. A run that writes folders of the caller's (a tool's
// output, OUTPUT) keeps kIdentityBase itself, to which those folders are
// handed from run to run. Anyone else's run is the caller.
constexpr uid_t kIdentityBase = 2000000000;
Ids runIdentity(bool output = false);

}  // namespace sim::confine
