// Whole files read at once: the one read loop of the hosting programs
// (readAll), under the files a report shows (sandbox.h readRegular, bounded
// and never through a link), the module files (elf_file.h) and their own
// files (records, expected texts, what a test left).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>

namespace sim {

// What FD holds from where it stands to its end, at most LIMIT bytes, in
// BYTES; an interrupted read is made again. False, with errno set, when a
// read fails.
bool readAll(int fd, size_t limit, std::string& bytes);

// The regular file PATH whole. Opening never blocks (O_NONBLOCK reaches a
// FIFO's open too), so what is no regular file is refused after fstat
// instead of hanging or streaming endlessly, as is a file longer than LIMIT
// bytes. Nothing, with ERROR set to one line, when it cannot be read so.
std::optional<std::string> readFile(const std::string& path, std::string& error, uint64_t limit = UINT64_MAX);
// The same where why does not matter.
std::optional<std::string> readFile(const std::string& path);

}  // namespace sim
