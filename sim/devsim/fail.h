// devsim's one way of ending with a line of complaint, for every unit of
// devsim: the run, the settings files, the image, the check and the report.
#pragma once

#include <stdio.h>

#include <string>

namespace devsim {

// "devsim: LINE" on stderr (after whatever stdout holds), and the program
// ends with STATUS. In devsim's confined part the line goes to its outside
// instead, as the record of a failure (confined.h), which the outside prints.
[[noreturn]] void fail(const std::string& line, int status = 1);
// From now on fail() writes its record on RECORDS (the confined part's
// channel).
void failTo(FILE* records);

}  // namespace devsim
