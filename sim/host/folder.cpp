#include "folder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace sim::folder {

bool within(const std::string& path, const std::string& folder) {
  return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

std::vector<std::string> names(int dir, size_t most, bool* read) {
  std::vector<std::string> out;
  const int listed = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* list = listed >= 0 ? fdopendir(listed) : nullptr;
  if (read != nullptr) *read = list != nullptr;
  if (list == nullptr) {
    if (listed >= 0) close(listed);
    return out;
  }
  while (const dirent* e = readdir(list)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (out.size() >= most) break;
    out.push_back(e->d_name);
  }
  closedir(list);
  std::sort(out.begin(), out.end());
  return out;
}

int openBelow(int dir, const std::string& relative, bool make, std::string* reached) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t start = 0; fd >= 0 && start < relative.size();) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    if (reached != nullptr) *reached = relative.substr(0, end);
    start = end + 1;
    if (name.empty()) continue;
    const int made = make ? mkdirat(fd, name.c_str(), 0755) : 0;
    const int next =
        made == 0 || errno == EEXIST ? openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    const int why = errno;
    close(fd);
    errno = why;
    fd = next;
  }
  return fd;
}

bool remove(int dir, const std::string& name) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlinkat(dir, name.c_str(), 0) == 0;
  const int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const bool emptied = sub >= 0 && empty(sub);
  if (sub >= 0) close(sub);
  return emptied && unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

bool empty(int dir) {
  bool ok = true;
  for (const std::string& name : names(dir, SIZE_MAX, &ok)) ok = remove(dir, name) && ok;
  return ok;
}

}  // namespace sim::folder
