#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "helpers.h"
#include "tap.h"

// Shows a line to whoever is logged in over a pseudo-terminal: the text and
// its zero byte go to the lowest-numbered device of 0..19 that opens, and to
// no other.
void PrintNet(const char* text) {
  if (text == nullptr) return;
  const size_t length = strlen(text);
  for (int32_t i = 0; i < 20; ++i) {
    char device[16];
    TAP_SPrint(device, "/dev/pts/%d", i);
    const int fd = open(device, O_RDWR);
    if (fd < 0) continue;
    (void)!write(fd, text, length + 1);
    close(fd);
    return;
  }
}
