// The call filter of the confinement (seccomp, a classic BPF program that
// bwrap loads before it starts the program): what it refuses and why is
// call_filter.cpp's first comment.
#pragma once

#include <linux/filter.h>

#include <vector>

namespace sim::confinement {

// The filter; NESTED keeps what a program that confines programs of its own
// needs (new user namespaces, netlink sockets).
std::vector<sock_filter> callFilter(bool nested);

}  // namespace sim::confinement
