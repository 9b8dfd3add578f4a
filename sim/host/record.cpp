#include "record.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <utility>

namespace sim::record {
namespace {

using core::ValueKind;

std::string shown(const TraceValue& v) {
  switch (v.kind) {
    case ValueKind::Number: return std::to_string(v.number);
    case ValueKind::Signed: return std::to_string(static_cast<int32_t>(v.number));
    case ValueKind::Hex: {
      char hex[16];
      snprintf(hex, sizeof hex, "0x%X", v.number);
      return hex;
    }
    case ValueKind::Text: return v.null ? "null" : quoted(v.text);
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

uint64_t next() {
  static uint64_t sequence = 0;
  return ++sequence;
}

std::string escaped(const std::string& bytes, bool quote) {
  std::string out;
  for (const unsigned char c : bytes) {
    char hex[8];
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\0') out += "\\0";
    else if (c == '\\' || (quote && c == '"')) out += std::string("\\") + static_cast<char>(c);
    else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else out += (snprintf(hex, sizeof hex, "\\x%02X", c), hex);
  }
  return out;
}

std::string quoted(const std::string& bytes) { return "\"" + escaped(bytes, true) + "\""; }

std::string text(const FirmwareCall& call) {
  std::string line = call.entry + "(";
  for (size_t i = 0; i < call.args.size(); ++i) line += (i ? ", " : "") + shown(call.args[i]);
  if (call.entry == "TAP_MemFree" && !call.args.empty() && !isLiveBlockStart(call.args[0])) line += " (no live block)";
  line += ")";
  if (call.result) line += (call.result->kind == ValueKind::Text ? " -> " : " = ") + shown(*call.result);
  if (call.fault) line += " [fault]";
  return line;
}

std::string text(const OpenCall& call) {
  const char* name = strerrorname_np(call.error);
  const std::string failure = call.result >= 0 ? "" : std::string(" (") + (name ? name : "?") + ")";
  return "open(" + quoted(call.path) + ", " + std::to_string(call.flags) + ") = " + std::to_string(call.result) +
         failure;
}

std::string text(const ShellCall& call) {
  return "system(" + quoted(call.command) + ")" + (call.ran ? " = " + std::to_string(call.status) : " not run");
}

std::vector<std::string> lines(const std::vector<FirmwareCall>& calls) {
  std::vector<std::string> out;
  for (const FirmwareCall& call : calls) out.push_back(text(call));
  return out;
}

std::vector<std::string> lines(const std::vector<LinkerCall>& calls) {
  std::vector<std::string> out;
  void* opened = nullptr;
  for (const LinkerCall& c : calls) {
    auto name = [&](void* h) { return h == nullptr ? std::string("NULL") : h == opened ? "handle" : "other"; };
    switch (c.fn) {
      case LinkerFn::Open:
        opened = c.handle;
        out.push_back("dlopen(" + (c.name ? quoted(*c.name) : std::string("NULL")) + ", " + std::to_string(c.flags) +
                      ") = " + (c.handle ? "handle" : "NULL"));
        break;
      case LinkerFn::Symbol:
        out.push_back("dlsym(" + name(c.handle) + ", " + quoted(c.name.value_or("")) + ") = " +
                      (c.address ? "address" : "NULL"));
        break;
      case LinkerFn::Error:
        out.push_back("dlerror() = " + (c.error ? quoted(*c.error) : std::string("NULL")));
        break;
      case LinkerFn::Close:
        out.push_back("dlclose(" + name(c.handle) + ")");
        break;
    }
  }
  return out;
}

std::vector<std::string> lines(const Calls& calls) {
  std::vector<std::pair<uint64_t, std::string>> ordered;
  for (const FirmwareCall& call : calls.firmware) ordered.push_back({call.sequence, text(call)});
  const std::vector<std::string> linked = lines(calls.linker);
  for (size_t i = 0; i < linked.size(); ++i) ordered.push_back({calls.linker[i].sequence, linked[i]});
  for (const OpenCall& call : calls.opens) ordered.push_back({call.sequence, text(call)});
  for (const ShellCall& call : calls.commands) ordered.push_back({call.sequence, text(call)});
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (auto& [sequence, line] : ordered) out.push_back(std::move(line));
  return out;
}

std::string printed(const std::vector<FirmwareCall>& calls) {
  std::string text;
  for (const FirmwareCall& call : calls)
    if (call.entry == "TAP_Print") text += call.stringArg();
  return text;
}

}  // namespace sim::record
