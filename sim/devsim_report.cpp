#include "devsim_report.h"

#include <stdio.h>
#include <stdlib.h>

namespace devsim {

std::string escaped(const std::string& bytes, bool quoted) {
  std::string out;
  for (unsigned char c : bytes) {
    char hex[8];
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\0') out += "\\0";
    else if (c == '\\' || (quoted && c == '"')) out += std::string("\\") + static_cast<char>(c);
    else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else out += (snprintf(hex, sizeof hex, "\\x%02X", c), hex);
  }
  return out;
}

std::string shown(const std::string& bytes) { return "\"" + escaped(bytes, true) + "\""; }

std::string shownFile(const sim::sandbox::FileBytes& file) {
  const std::string head = file.bytes.substr(0, kShownBytes);
  if (head.size() == file.size) return shown(head);
  return shown(head) + "... (" + std::to_string(file.size) + " bytes, the first " + std::to_string(head.size()) +
         " shown)";
}

void report(const char* what, const std::string& text) { printf("%-10s %s\n", what, text.c_str()); }

void fail(const std::string& line, int status) {
  fflush(stdout);
  fprintf(stderr, "devsim: %s\n", line.c_str());
  exit(status);
}

}  // namespace devsim
