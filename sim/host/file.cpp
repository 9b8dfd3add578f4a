#include "file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace sim {

bool readAll(int fd, size_t limit, std::string& bytes) {
  bytes.clear();
  char buffer[1 << 16];
  while (bytes.size() < limit) {
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string> readFile(const std::string& path, std::string& error, uint64_t limit) {
  error.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + strerror(errno);
    return std::nullopt;
  }
  struct stat st;
  std::string bytes;
  if (fstat(fd, &st) != 0)
    error = path + ": " + strerror(errno);
  else if (!S_ISREG(st.st_mode))
    error = path + ": not a regular file";
  else if (static_cast<uint64_t>(st.st_size) > limit)
    error = path + ": larger than " +
            (limit % (1 << 20) == 0 ? std::to_string(limit >> 20) + " MiB" : std::to_string(limit) + " bytes");
  else if (!readAll(fd, std::min<uint64_t>(limit, SIZE_MAX), bytes))  // as long as it is now, grown or shrunk
    error = path + ": " + strerror(errno);
  close(fd);
  if (!error.empty()) return std::nullopt;
  return bytes;
}

std::optional<std::string> readFile(const std::string& path) {
  std::string error;
  return readFile(path, error);
}

}  // namespace sim
