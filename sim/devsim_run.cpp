#include "devsim_run.h"

#include <algorithm>
#include <utility>

namespace devsim {

std::string printed(const Outcome& out) {
  std::string text;
  for (const sim::FirmwareCall& call : out.firmware)
    if (call.entry == "TAP_Print") text += call.stringArg();
  return text;
}

std::string callCounts(const Outcome& out) {
  using sim::linker::Fn;
  auto count = [&](Fn fn) {
    return std::to_string(
        std::count_if(out.linker.begin(), out.linker.end(), [fn](const auto& c) { return c.fn == fn; }));
  };
  return std::to_string(out.firmware.size()) + " firmware, " + std::to_string(out.linker.size()) +
         " dynamic-linker (dlopen " + count(Fn::Open) + ", dlsym " + count(Fn::Symbol) + ", dlerror " +
         count(Fn::Error) + ", dlclose " + count(Fn::Close) + ")";
}

std::vector<std::string> callLines(const Outcome& out) {
  std::vector<std::pair<uint64_t, std::string>> calls;
  for (const sim::FirmwareCall& call : out.firmware) calls.push_back({call.sequence, sim::text(call)});
  const std::vector<std::string> linked = sim::linker::trace(out.linker);
  for (size_t i = 0; i < linked.size(); ++i) calls.push_back({out.linker[i].sequence, linked[i]});
  for (const auto& call : out.opens) calls.push_back({call.sequence, sim::platform::text(call)});
  for (const auto& call : out.commands) calls.push_back({call.sequence, sim::platform::text(call)});
  std::stable_sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> lines;
  for (auto& [sequence, line] : calls) lines.push_back(std::move(line));
  return lines;
}

}  // namespace devsim
