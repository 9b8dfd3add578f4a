// devsim's one way of ending with a line of complaint, for every unit of
// devsim: the run, the settings files, the image, the check and the report.
#pragma once

#include <string>

namespace devsim {

// "devsim: LINE" on stderr (after whatever stdout holds), and the program
// ends with STATUS.
[[noreturn]] void fail(const std::string& line, int status = 1);

}  // namespace devsim
