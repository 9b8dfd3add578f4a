// The firmware's start in the device image: the core alone on the device's
// disk, with no hooks, so no call fails and records are dropped (the core
// still counts the calls). A loader in the image may call sim::core::reset
// again to choose another disk, and set a record hook (tapload's recorder.h).
#include "core.h"

namespace {

__attribute__((constructor)) void startOnTheDisk() { sim::core::reset("/mnt/hd"); }

}  // namespace
