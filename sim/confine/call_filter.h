// The confinement's call filter (seccomp, classic BPF that bwrap loads
// before it starts the program), made by call name with libseccomp when the
// project is built (call_filter_rules.cpp says what it refuses and why).
#pragma once

#include <optional>
#include <string>

namespace sim::confine {

// The filter's bytes; NESTED keeps what a program that confines programs of
// its own needs (new user namespaces, netlink sockets). Nothing, with ERROR
// set to one line, on a machine of another kind than the one it was made
// for: no program runs confined without it.
std::optional<std::string> callFilter(bool nested, std::string& error);

}  // namespace sim::confine
