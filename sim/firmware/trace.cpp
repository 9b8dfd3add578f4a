#include "trace.h"

#include <stdio.h>

namespace sim {
namespace {

using core::ValueKind;

}  // namespace

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

namespace {

std::string shown(const TraceValue& v) {
  switch (v.kind) {
    case ValueKind::Number: return std::to_string(v.number);
    case ValueKind::Signed: return std::to_string(static_cast<int32_t>(v.number));
    case ValueKind::Hex: {
      char hex[16];
      snprintf(hex, sizeof hex, "0x%X", v.number);
      return hex;
    }
    case ValueKind::Text: return v.null ? "null" : quote(v.text);
    case ValueKind::Block:
      if (v.null) return "0";
      if (v.number == 0) return "ptr";
      return "#" + std::to_string(v.number) + (v.offset ? "+" + std::to_string(v.offset) : "");
    case ValueKind::Handle:
      if (v.null) return "0";
      return v.number == 0 ? "bad-handle" : "@" + std::to_string(v.number);
  }
  return "?";
}

// TAP_MemFree frees only a pointer to a live block's start.
bool isLiveBlockStart(const TraceValue& v) {
  return v.kind == ValueKind::Block && !v.null && v.number != 0 && v.offset == 0;
}

}  // namespace

bool operator==(const TraceValue& a, const TraceValue& b) {
  return a.kind == b.kind && a.null == b.null && a.number == b.number && a.offset == b.offset && a.text == b.text;
}

bool operator==(const FirmwareCall& a, const FirmwareCall& b) {
  return a.entry == b.entry && a.args == b.args && a.result == b.result && a.fault == b.fault;
}

const std::string& FirmwareCall::stringArg() const {
  static const std::string none;
  for (const TraceValue& v : args)
    if (v.kind == ValueKind::Text) return v.text;
  return none;
}

int64_t FirmwareCall::resultValue() const {
  if (!result) return 0;
  return result->kind == ValueKind::Signed ? static_cast<int32_t>(result->number) : result->number;
}

std::string text(const FirmwareCall& call) {
  std::string line = call.entry + "(";
  for (size_t i = 0; i < call.args.size(); ++i) line += (i ? ", " : "") + shown(call.args[i]);
  if (call.entry == "TAP_MemFree" && !call.args.empty() && !isLiveBlockStart(call.args[0])) line += " (no live block)";
  line += ")";
  if (call.result) line += (call.result->kind == ValueKind::Text ? " -> " : " = ") + shown(*call.result);
  if (call.fault) line += " [fault]";
  return line;
}

std::vector<std::string> lines(const std::vector<FirmwareCall>& calls) {
  std::vector<std::string> out;
  out.reserve(calls.size());
  for (const FirmwareCall& call : calls) out.push_back(text(call));
  return out;
}

}  // namespace sim
