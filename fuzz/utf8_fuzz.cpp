// Fuzzes the UTF-8 functions on arbitrary bytes, on both kinds of firmware:
// copy 0 of the module runs on firmware with the UTF-8 routine, copy 1 on
// firmware without it. Each string is an exact heap copy, so reading past
// its terminator is caught; StrToUTF8 writes into a buffer of an arbitrary
// size between guard bytes. The references are independent of the module's
// code: a textbook decoder (itself checked against the C library's strict
// one), the textbook two-byte rule for a Latin-1 byte, and the C library's
// iconv for a Latin-1 string.
#include <fuzzer/FuzzedDataProvider.h>
#include <iconv.h>
#include <locale.h>
#include <string.h>
#include <wchar.h>

#include <memory>
#include <vector>

#include "helpers.h"
#include "host.h"

namespace {

constexpr int kUtf8Copy = 0, kLatin1Copy = 1;

// A sequence starting at P as a textbook decoder reads it: the lead byte's
// leading one bits give its length, two to four, and each byte after it must
// be 10xxxxxx; its low bits make the code point. Like the module it takes
// overlong forms, surrogates and values above U+10FFFF as sequences.
struct Sequence {
  int length = 0;  // 0: none starts at P
  uint32_t codePoint = 0;
};
Sequence decode(const unsigned char* p) {
  int ones = 0;
  while (ones < 8 && (p[0] << ones & 0x80)) ++ones;
  if (ones < 2 || ones > 4) return {};
  uint32_t codePoint = p[0] & (0x7F >> ones);
  for (int i = 1; i < ones; ++i) {
    if ((p[i] & 0xC0) != 0x80) return {};  // the NUL is no continuation: nothing past it is read
    codePoint = codePoint << 6 | (p[i] & 0x3F);
  }
  return {ones, codePoint};
}

// The C library's strict UTF-8 decoder agrees with decode() wherever it
// takes a sequence of two bytes or more; where only decode() takes one, the
// sequence is one of those the strict one refuses.
locale_t utf8Locale;
void checkDecoder(const unsigned char* p) {
  const Sequence mine = decode(p);
  const locale_t previous = uselocale(utf8Locale);
  mbstate_t state{};
  wchar_t wide = 0;
  const size_t strict = mbrtowc(&wide, reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), 4),
                                &state);
  uselocale(previous);
  if (strict >= 2 && strict <= 4) {
    CHECK(mine.length == static_cast<int>(strict) && mine.codePoint == static_cast<uint32_t>(wide),
          "the decoder differs from the C library at 0x%02X", p[0]);
  } else if (mine.length != 0) {
    const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    const uint32_t c = mine.codePoint;
    CHECK(c < lowest[mine.length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF,
          "the decoder takes U+%04X, which the C library refuses", c);
  }
}

struct Encoding {
  int32_t latin1 = 0, utf8 = 0;
};

// GetStringEncoding's walk: an ASCII byte moves on by one, a sequence (only
// on UTF-8 firmware) by two whatever its length, any other byte by one and
// counts as Latin-1.
Encoding encodingOf(const std::string& text, bool utf8Firmware) {
  Encoding e;
  const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
  while (*p) {
    if (*p < 0x80) {
      p += 1;
    } else if (utf8Firmware && decode(p).length != 0) {
      e.utf8 = 1;
      p += 2;
    } else {
      e.latin1 = 1;
      p += 1;
    }
  }
  return e;
}

// The textbook UTF-8 form of a Latin-1 byte of 0x80 or more: 110000xx 10xxxxxx.
uint16_t twoByteForm(unsigned char c) { return static_cast<uint16_t>((0xC0 | c >> 6) << 8 | (0x80 | (c & 0x3F))); }

// TEXT from Latin-1 to UTF-8 by the C library's iconv.
iconv_t latin1ToUtf8;
std::string iconvLatin1(const std::string& text) {
  std::string out(2 * text.size() + 1, '\0');
  char* in = const_cast<char*>(text.data());
  char* to = out.data();
  size_t inLeft = text.size(), outLeft = out.size();
  iconv(latin1ToUtf8, nullptr, nullptr, nullptr, nullptr);
  if (iconv(latin1ToUtf8, &in, &inLeft, &to, &outLeft) == static_cast<size_t>(-1)) fuzz::fail("iconv failed");
  out.resize(out.size() - outLeft);
  return out;
}

// What StrToUTF8 leaves in a buffer of SIZE bytes: a string of Latin-1
// bytes and no sequence is converted, any other copied; a result that does
// not fit is refused, leaving the empty string.
std::string converted(const std::string& text, bool utf8Firmware, uint32_t size) {
  const Encoding e = encodingOf(text, utf8Firmware);
  const std::string out = e.latin1 && !e.utf8 ? iconvLatin1(text) : text;
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

  bool high = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto* at = reinterpret_cast<const unsigned char*>(source.get() + i);
    checkDecoder(at);
    const bool want = utf8 && decode(at).length != 0;
    CHECK(FN(copy, isUTF8Char)(source.get() + i) == (want ? 1 : 0), "isUTF8Char at %zu differs (copy %d)", i, copy);
    const auto c = static_cast<unsigned char>(text[i]);
    const uint16_t u = FN(copy, CharToUTF8)(source.get() + i);
    CHECK(u == (c < 0x80 ? c : twoByteForm(c)), "CharToUTF8(0x%02X) gave 0x%04X", c, u);
    high |= c >= 0x80;
  }

  const Encoding want = encodingOf(text, utf8);
  Encoding got{7, 7};
  FN(copy, GetStringEncoding)(source.get(), &got.latin1, &got.utf8);
  CHECK(got.latin1 == want.latin1 && got.utf8 == want.utf8, "GetStringEncoding gave %d/%d, not %d/%d (copy %d)",
        got.latin1, got.utf8, want.latin1, want.utf8, copy);
  CHECK((got.latin1 || got.utf8) == high, "GetStringEncoding missed or invented a high byte (copy %d)", copy);
  CHECK(utf8 || (got.utf8 == 0 && got.latin1 == high), "GetStringEncoding found UTF-8 without the routine");
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
  CHECK(std::string(result) == converted(text, utf8, destSize), "StrToUTF8 differs (copy %d, %u bytes)", copy,
        destSize);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::boot(*argc, *argv);
  utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  latin1ToUtf8 = iconv_open("UTF-8", "ISO-8859-1");
  if (utf8Locale == nullptr || latin1ToUtf8 == reinterpret_cast<iconv_t>(-1)) fuzz::fail("no UTF-8 locale or iconv");
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
