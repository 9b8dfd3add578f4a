#include "fail.h"

#include <stdlib.h>

#include "report_lines.h"
#include "report_text.h"

namespace devsim {
namespace {

FILE* recordsOut = nullptr;

}  // namespace

void failTo(FILE* records) { recordsOut = records; }

void fail(const std::string& line, int status) {
  if (recordsOut != nullptr) {
    fprintf(recordsOut, REPORT_FAILURE " %d", status);
    putBytes(recordsOut, line.data(), line.size());
    fputs("\n" REPORT_END "\n", recordsOut);
    fflush(recordsOut);
    exit(status);
  }
  fflush(stdout);
  fprintf(stderr, "devsim: %s\n", line.c_str());
  exit(status);
}

}  // namespace devsim
