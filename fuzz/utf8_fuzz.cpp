// Fuzzes the UTF-8 functions on arbitrary bytes, on both kinds of firmware:
// copy 0 of the module runs on firmware with the UTF-8 routine, copy 1 on
// firmware without it. Each string is an exact heap copy, so reading past
// its terminator is caught; StrToUTF8 writes into a buffer of an arbitrary
// size between guard bytes. Answers are compared with a plain model.
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <memory>
#include <vector>

#include "helpers.h"
#include "host.h"

namespace {

constexpr int kUtf8Copy = 0, kLatin1Copy = 1;

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// A sequence of two, three or four bytes by its bit patterns.
bool sequenceAt(const unsigned char* p) {
  int followers = (p[0] & 0xE0) == 0xC0 ? 1 : (p[0] & 0xF0) == 0xE0 ? 2 : (p[0] & 0xF8) == 0xF0 ? 3 : 0;
  if (followers == 0) return false;
  for (int i = 1; i <= followers; ++i)
    if (!continuation(p[i])) return false;
  return true;
}

struct Encoding {
  int32_t latin1 = 0, utf8 = 0;
};

Encoding encodingOf(const std::string& text, bool utf8Firmware) {
  Encoding e;
  const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
  while (*p) {
    if (*p < 0x80) {
      p += 1;
    } else if (utf8Firmware && sequenceAt(p)) {
      e.utf8 = 1;
      p += 2;
    } else {
      e.latin1 = 1;
      p += 1;
    }
  }
  return e;
}

// What StrToUTF8 leaves in a buffer of SIZE bytes.
std::string converted(const std::string& text, bool utf8Firmware, uint32_t size) {
  const Encoding e = encodingOf(text, utf8Firmware);
  std::string out;
  if (e.latin1 && !e.utf8) {
    for (unsigned char c : text) {
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
  } else {
    out = text;
  }
  return out.size() + 1 > size ? std::string() : out;
}

// An exact heap copy of TEXT and its terminator.
std::unique_ptr<char[]> exactCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

// isUTF8Char and CharToUTF8 at every byte, and GetStringEncoding.
void checkBytes(int copy, const std::string& text) {
  const bool utf8 = copy == kUtf8Copy;
  CHECK(FN(copy, isUTFFirmware)() == (utf8 ? 1 : 0), "copy %d got the firmware kind wrong", copy);
  const auto source = exactCopy(text);

  for (size_t i = 0; i < text.size(); ++i) {
    const bool want = utf8 && sequenceAt(reinterpret_cast<const unsigned char*>(source.get() + i));
    CHECK(FN(copy, isUTF8Char)(source.get() + i) == (want ? 1 : 0), "isUTF8Char at %zu differs (copy %d)", i, copy);
    const auto c = static_cast<unsigned char>(text[i]);
    const uint16_t u = FN(copy, CharToUTF8)(source.get() + i);
    if (c < 0x80) {
      CHECK(u == c, "CharToUTF8 changed an ASCII byte");
    } else {
      const unsigned hi = u >> 8, lo = u & 0xFF;
      CHECK(hi >= 0xC2 && hi <= 0xC3 && continuation(static_cast<unsigned char>(lo)) && ((hi & 0x1F) << 6 | (lo & 0x3F)) == c,
            "CharToUTF8(0x%02X) gave 0x%04X", c, u);
    }
  }

  const Encoding want = encodingOf(text, utf8);
  Encoding got{7, 7};
  FN(copy, GetStringEncoding)(source.get(), &got.latin1, &got.utf8);
  CHECK(got.latin1 == want.latin1 && got.utf8 == want.utf8, "GetStringEncoding gave %d/%d, not %d/%d (copy %d)",
        got.latin1, got.utf8, want.latin1, want.utf8, copy);
  FN(copy, GetStringEncoding)(source.get(), nullptr, nullptr);
}

// StrToUTF8 into a buffer of DEST_SIZE bytes.
void checkConversion(int copy, const std::string& text, uint32_t destSize) {
  const bool utf8 = copy == kUtf8Copy;
  const auto source = exactCopy(text);
  // The buffer: guard bytes, DEST_SIZE bytes, guard bytes.
  constexpr size_t kGuard = 32;
  constexpr char kMark = '\x5A';
  std::vector<char> dest(destSize + 2 * kGuard, kMark);
  FN(copy, StrToUTF8)(source.get(), dest.data() + kGuard, destSize);
  for (size_t i = 0; i < kGuard; ++i)
    CHECK(dest[i] == kMark && dest[kGuard + destSize + i] == kMark, "StrToUTF8 wrote outside its %u bytes", destSize);
  if (destSize == 0) return;
  const char* result = dest.data() + kGuard;
  CHECK(memchr(result, '\0', destSize) != nullptr, "StrToUTF8 left no terminator in %u bytes", destSize);
  CHECK(std::string(result) == converted(text, utf8, destSize), "StrToUTF8 differs (copy %d, %u bytes)", copy, destSize);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::boot(*argc, *argv);
  // Copy 0 finds the UTF-8 routine once and keeps it; copy 1 never sees it.
  if (FN(kUtf8Copy, isUTFFirmware)() != 1) fuzz::fail("copy 0 found no UTF-8 routine");
  sim::Session::current().unloadData(sim::FirmwareData::Utf8Routine);
  fuzz::module(kLatin1Copy);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::resetFirmware();
  FuzzedDataProvider in(data, size);
  const uint32_t destSize = in.ConsumeIntegralInRange<uint32_t>(0, 600);
  const std::string bytes = in.ConsumeRemainingBytesAsString();
  const std::string text = bytes.c_str();
  for (int copy : {kUtf8Copy, kLatin1Copy}) {
    checkBytes(copy, text);
    checkConversion(copy, text, destSize);
    // Exactly what the conversion needs, and one byte less.
    const uint32_t needed = static_cast<uint32_t>(converted(text, copy == kUtf8Copy, UINT32_MAX).size() + 1);
    checkConversion(copy, text, needed);
    checkConversion(copy, text, needed - 1);
  }
  return 0;
}
