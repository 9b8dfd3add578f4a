#include "run.h"

#include "confine.h"
#include "fail.h"
#include "linker.h"
#include "platform.h"
#include "tapheader.h"

namespace devsim {

Outcome runHere(const Options& o, sim::Session& session) {
  using sim::confine::Phase;
  using sim::confine::inside::announce;
  announce(Phase::Loading);
  auto* init = session.module().find<int32_t(TapEntryRecord*)>("__TAP_Init_");
  if (init == nullptr) fail(o.module + " has no entry point __TAP_Init_");
  Outcome out;
  TapEntryRecord entries = {nullptr, nullptr};
  announce(Phase::Init);
  out.init = init(&entries);
  out.slotsFilled = entries.main != nullptr && entries.event != nullptr;
  if (!out.slotsFilled) return out;
  announce(Phase::Main);
  out.main = entries.main();
  for (const Event& e : o.events) {
    announce(Phase::Event);
    out.events.push_back({e.code, e.param1, e.param2, entries.event(e.code, e.param1, e.param2)});
  }
  announce(Phase::After);
  out.calls = {sim::firmware().trace(), sim::linker::calls(), sim::platform::opens(), sim::platform::commands()};
  out.cwd = sim::firmware().currentDir();
  const sim::MemoryStats mem = sim::firmware().memory();
  out.liveBlocks = mem.liveBlocks;
  out.peakBytes = mem.peakBytes;
  return out;
}

}  // namespace devsim
