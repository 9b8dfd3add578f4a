#include "fail.h"

#include <stdio.h>
#include <stdlib.h>

namespace devsim {

void fail(const std::string& line, int status) {
  fflush(stdout);
  fprintf(stderr, "devsim: %s\n", line.c_str());
  exit(status);
}

}  // namespace devsim
