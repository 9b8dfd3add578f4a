// devsim's unconfined side, which alone prints: it checks the sandbox and
// the module, hands the module and the disk into a confinement of devsim's
// own (confined.h), and once that ends reads back the records and the disk,
// strictly, keeps the disk in the sandbox, and makes the report of them. No
// byte the module writes reaches the caller but as the module's output,
// marked and escaped, or as a field of a record, escaped in the report.
#pragma once

#include "options.h"

namespace devsim {

// Runs O (run or check) so; answers devsim's exit status (or ends devsim
// with one line).
int outside(const Options& o, int argc, char** argv);

}  // namespace devsim
