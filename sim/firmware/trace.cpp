#include "trace.h"

namespace sim {

bool operator==(const TraceValue& a, const TraceValue& b) {
  return a.kind == b.kind && a.null == b.null && a.number == b.number && a.offset == b.offset && a.text == b.text;
}

bool operator==(const FirmwareCall& a, const FirmwareCall& b) {
  return a.entry == b.entry && a.args == b.args && a.result == b.result && a.fault == b.fault;
}

const std::string& FirmwareCall::stringArg() const {
  static const std::string none;
  for (const TraceValue& v : args)
    if (v.kind == core::ValueKind::Text) return v.text;
  return none;
}

int64_t FirmwareCall::resultValue() const {
  if (!result) return 0;
  return result->kind == core::ValueKind::Signed ? static_cast<int32_t>(result->number) : result->number;
}

}  // namespace sim
