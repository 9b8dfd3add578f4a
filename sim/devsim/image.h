// The run of a module in the device image (devsim run --image ROOT): the
// image's loader under qemu-mipsel as the device's processor (ROOT/run),
// inside this program's confinement, on the session's disk and terminals.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "run.h"
#include "session.h"

namespace devsim {

// tapload's options for O's run, after MODULE and DISK (sim/image/tapload.cpp).
std::vector<std::string> loaderOptions(const Options& o);

// Runs the session's module in the device image at O.image and reads what
// it did from the loader's report (sim/image/report_lines.h). A loader that
// fails or refuses the module ends devsim with its one line.
Outcome runInImage(const Options& o, const sim::Session& session);

}  // namespace devsim
