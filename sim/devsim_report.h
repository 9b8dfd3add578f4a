// devsim's report: one line per finding, a word and the text, and the way it
// shows bytes: quoted, escaped, bounded.
#pragma once

#include <stddef.h>

#include <string>

#include "sandbox.h"

namespace devsim {

// How much of a file a report line shows.
constexpr size_t kShownBytes = 256;

// BYTES with CR, LF, the zero byte, backslashes (and quotes, when QUOTED)
// and every byte outside printable ASCII escaped: always one line, which no
// byte of it can end or rewrite. Every text the report shows passes here.
std::string escaped(const std::string& bytes, bool quoted = false);
// BYTES escaped and quoted.
std::string shown(const std::string& bytes);
// A file's first kShownBytes bytes as shown(), and its length when they are
// not all of it.
std::string shownFile(const sim::sandbox::FileBytes& file);
// "WHAT       TEXT" on stdout.
void report(const char* what, const std::string& text);
// "devsim: LINE" on stderr, and the program ends with STATUS.
[[noreturn]] void fail(const std::string& line, int status = 1);

}  // namespace devsim
