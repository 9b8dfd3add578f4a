// Telling UTF-8 from single-byte text and converting Latin-1 to UTF-8, on
// firmware with and without its UTF-8 routine.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "harness.h"
#include "helpers.h"

namespace {

struct Encoding {
  int32_t latin1, utf8;
  bool operator==(const Encoding& o) const { return latin1 == o.latin1 && utf8 == o.utf8; }
};
std::ostream& operator<<(std::ostream& out, const Encoding& e) {
  return out << "{latin1 " << e.latin1 << ", utf8 " << e.utf8 << "}";
}
constexpr Encoding kAscii{0, 0}, kLatin1{1, 0}, kUtf8{0, 1}, kBoth{1, 1};

class Utf8Firmware : public DeviceTest {
 protected:
  Encoding encoding(const std::string& text) {
    EdgeString guarded(text);
    Encoding e{7, 7};
    MODULE_FN(GetStringEncoding)(guarded.c_str(), &e.latin1, &e.utf8);
    return e;
  }
  int32_t startsSequence(const std::string& text) {
    EdgeString guarded(text);
    return MODULE_FN(isUTF8Char)(guarded.c_str());
  }
  // StrToUTF8 into a buffer of SIZE bytes followed by guard bytes; fails the
  // test if a guard byte changed.
  std::string convert(const std::string& text, uint32_t size = TAP_UTF8_PATH_LEN) {
    EdgeString guarded(text);
    std::string buffer(size + 16, '\x5A');
    MODULE_FN(StrToUTF8)(guarded.c_str(), &buffer[0], size);
    EXPECT_EQ(buffer.substr(size), std::string(16, '\x5A')) << "written past the buffer";
    const size_t end = buffer.find('\0');
    EXPECT_LT(end, size) << "no terminator inside the buffer";
    return buffer.substr(0, end);
  }
};

class Latin1Firmware : public Utf8Firmware {
  DeviceConfig config() const override {
    DeviceConfig c;
    c.utf8Routine = false;
    return c;
  }
};

TEST_F(Utf8Firmware, AsciiAndEmptyStringsAreCopied) {
  EXPECT_EQ(encoding(""), kAscii);
  EXPECT_EQ(encoding("/ProgramFiles/Settings"), kAscii);
  EXPECT_EQ(convert(""), "");
  EXPECT_EQ(convert("/ProgramFiles/Settings"), "/ProgramFiles/Settings");
}

TEST_F(Utf8Firmware, LoneHighByteIsConverted) {
  EXPECT_EQ(encoding("caf\xE9s"), kLatin1);
  EXPECT_EQ(convert("caf\xE9s"), "caf\xC3\xA9s");
  EXPECT_EQ(convert("\x80\xBF\xC0\xFF"), "\xC2\x80\xC2\xBF\xC3\x80\xC3\xBF");
}

TEST_F(Utf8Firmware, ValidSequencesAreKept) {
  EXPECT_EQ(encoding("caf\xC3\xA9"), kUtf8);
  EXPECT_EQ(convert("caf\xC3\xA9"), "caf\xC3\xA9");
  // Three- and four-byte sequences: the walk steps two bytes, so the rest
  // count as single-byte characters.
  EXPECT_EQ(encoding("price \xE2\x82\xAC"), kBoth);
  EXPECT_EQ(convert("price \xE2\x82\xAC"), "price \xE2\x82\xAC");
  EXPECT_EQ(encoding("\xF0\x9F\x98\x80"), kBoth);
  // Mixed valid and lone bytes: copied unchanged, the lone byte included.
  EXPECT_EQ(encoding("\xC3\xA9-\xE9"), kBoth);
  EXPECT_EQ(convert("\xC3\xA9-\xE9"), "\xC3\xA9-\xE9");
}

TEST_F(Utf8Firmware, SequencesAreJudgedByBitPatternsAlone) {
  EXPECT_EQ(startsSequence("\xC3\xA9"), 1);
  EXPECT_EQ(startsSequence("\xC0\x80"), 1) << "overlong forms are not looked for";
  EXPECT_EQ(encoding("\xC0\x80"), kUtf8);
  EXPECT_EQ(startsSequence("\xF5\x80\x80\x80"), 1) << "beyond U+10FFFF is not looked for";
  EXPECT_EQ(encoding("\xF5\x80\x80\x80"), kBoth);
  EXPECT_EQ(startsSequence("\xF8\x80\x80\x80\x80"), 0);
  EXPECT_EQ(startsSequence("\xFF\x80"), 0);
  EXPECT_EQ(encoding("\xF8\x80\x80\x80\x80"), kLatin1);
  EXPECT_EQ(convert("\xF8\x80"), "\xC3\xB8\xC2\x80");
  EXPECT_EQ(startsSequence("A\x80"), 0);
  EXPECT_EQ(startsSequence("\xA9\x80"), 0) << "a continuation byte starts nothing";
  EXPECT_EQ(startsSequence("\xE2\x82" "A"), 0);
}

TEST_F(Utf8Firmware, NothingPastTheTerminatorIsRead) {
  // Each string ends right before an unreadable page.
  EXPECT_EQ(startsSequence("\xC3"), 0);
  EXPECT_EQ(startsSequence("\xE2\x82"), 0);
  EXPECT_EQ(startsSequence("\xF0\x9F\x98"), 0);
  EXPECT_EQ(encoding("ab\xC3"), kLatin1);
  EXPECT_EQ(encoding("\xC3\xA9\xC3"), kBoth);
  EXPECT_EQ(convert("ab\xC3"), "ab\xC3\x83");
  // A continuation byte after the terminator is not taken for the sequence.
  const char text[] = "\xC3\0\xA9";
  EXPECT_EQ(MODULE_FN(isUTF8Char)(text), 0);
}

TEST_F(Latin1Firmware, EveryHighByteIsSingleByte) {
  EXPECT_EQ(encoding(""), kAscii);
  EXPECT_EQ(encoding("abc"), kAscii);
  EXPECT_EQ(convert("abc"), "abc");
  EXPECT_EQ(startsSequence("\xC3\xA9"), 0);
  EXPECT_EQ(encoding("caf\xE9s"), kLatin1);
  EXPECT_EQ(convert("caf\xE9s"), "caf\xC3\xA9s");
  EXPECT_EQ(encoding("caf\xC3\xA9"), kLatin1);
  EXPECT_EQ(convert("caf\xC3\xA9"), "caf\xC3\x83\xC2\xA9");
  EXPECT_EQ(encoding("\xE2\x82\xAC"), kLatin1);
  EXPECT_EQ(convert("\xE2\x82\xAC"), "\xC3\xA2\xC2\x82\xC2\xAC");
  EXPECT_EQ(convert("ab\xC3"), "ab\xC3\x83");
}

TEST_F(Utf8Firmware, CharToUtf8CoversEveryByte) {
  for (int value = 0; value < 256; ++value) {
    const char c = static_cast<char>(value);
    const uint16_t expected =
        value < 0x80 ? value : static_cast<uint16_t>((0xC0 | value >> 6) << 8 | (0x80 | (value & 0x3F)));
    EXPECT_EQ(MODULE_FN(CharToUTF8)(&c), expected) << "byte " << value;
  }
  const char samples[] = {'\x41', '\x80', '\xBF', '\xC0', '\xFF'};
  EXPECT_EQ(MODULE_FN(CharToUTF8)(&samples[0]), 0x41);
  EXPECT_EQ(MODULE_FN(CharToUTF8)(&samples[1]), 0xC280);
  EXPECT_EQ(MODULE_FN(CharToUTF8)(&samples[2]), 0xC2BF);
  EXPECT_EQ(MODULE_FN(CharToUTF8)(&samples[3]), 0xC380);
  EXPECT_EQ(MODULE_FN(CharToUTF8)(&samples[4]), 0xC3BF);
}

TEST_F(Utf8Firmware, NullPointersDoNothing) {
  EXPECT_EQ(MODULE_FN(isUTF8Char)(nullptr), 0);
  EXPECT_EQ(MODULE_FN(CharToUTF8)(nullptr), 0);

  Encoding e{7, 7};
  MODULE_FN(GetStringEncoding)(nullptr, &e.latin1, &e.utf8);
  EXPECT_EQ(e, kAscii) << "the flags are cleared first";
  MODULE_FN(GetStringEncoding)("\xE9\xC3\xA9", nullptr, nullptr);
  e = {7, 7};
  MODULE_FN(GetStringEncoding)("\xC3\xA9", nullptr, &e.utf8);
  EXPECT_EQ(e.utf8, 1);
  MODULE_FN(GetStringEncoding)("\xE9", &e.latin1, nullptr);
  EXPECT_EQ(e.latin1, 1);

  char dest[8];
  memset(dest, 'x', sizeof dest);
  MODULE_FN(StrToUTF8)(nullptr, dest, sizeof dest);
  EXPECT_EQ(std::string(dest, sizeof dest), std::string(8, 'x'));
  MODULE_FN(StrToUTF8)("\xE9", nullptr, sizeof dest);
  MODULE_FN(StrToUTF8)("\xE9", dest, 0);
  EXPECT_EQ(std::string(dest, sizeof dest), std::string(8, 'x')) << "a buffer of no bytes gets nothing";
}

TEST_F(Utf8Firmware, ConversionThatDoesNotFitIsRefused) {
  // "\xE9\xE9a" converts to five bytes plus the terminator.
  EXPECT_EQ(convert("\xE9\xE9" "a", 6), "\xC3\xA9\xC3\xA9" "a");
  EXPECT_EQ(convert("\xE9\xE9" "a", 5), "");
  // A copy likewise.
  EXPECT_EQ(convert("\xC3\xA9" "ab", 5), "\xC3\xA9" "ab");
  EXPECT_EQ(convert("\xC3\xA9" "ab", 4), "");
  EXPECT_EQ(convert("abc", 1), "");

  // A path in the 256-byte buffer: 127 high bytes and one ASCII byte fit, 128
  // high bytes do not.
  const std::string fits = std::string(127, '\xE9') + "/";
  std::string converted;
  for (int i = 0; i < 127; ++i) converted += "\xC3\xA9";
  EXPECT_EQ(convert(fits), converted + "/");
  EXPECT_EQ(convert(std::string(128, '\xE9')), "");
}

}  // namespace
