// The INI text store: key search, typed read, replace or append, and the
// buffer it keeps. A text is opened here by allocating a block through the
// firmware and setting INIBuffer and BufferSize, as loading a file does.

#include <climits>
#include <cstring>

#include "harness.h"
#include "helpers.h"
#include "tap.h"

namespace {

const char kKey[] = "MinimumKBFree";

class IniStore : public DeviceTest {
 protected:
  // Opens TEXT in a zero-filled firmware block of SIZE bytes. BEHIND is
  // placed after the text's NUL, where no operation may look.
  void open(const std::string& text, uint32_t size = 512, const std::string& behind = "") {
    ASSERT_LE(text.size() + 1 + behind.size(), size);
    char* block = static_cast<char*>(firmwareAlloc(size));
    ASSERT_NE(block, nullptr);
    memset(block, 0, size);
    memcpy(block, text.data(), text.size());
    memcpy(block + text.size() + 1, behind.data(), behind.size());
    MODULE_VAR(INIBuffer) = block;
    MODULE_VAR(BufferSize) = size;
    fw().clearTrace();
  }
  std::string text() { return MODULE_VAR(INIBuffer); }
  int32_t get(const char* key, int32_t def = 10000, int32_t lo = 100, int32_t hi = 50000) {
    return MODULE_FN(INIGetInt)(key, def, lo, hi);
  }
  // The value of KEY after opening TEXT.
  int32_t valueIn(const std::string& text, int32_t def = 10000, int32_t lo = 100, int32_t hi = 50000) {
    open(text);
    return get(kKey, def, lo, hi);
  }
  void set(const char* key, const char* value) { MODULE_FN(INISetString)(key, value); }

  void TearDown() override {
    EXPECT_EQ(fw().memory().badFrees, 0u);
    DeviceTest::TearDown();
  }
};

TEST_F(IniStore, ReadFindsTheFirstEntryAnywhereInAnyCase) {
  EXPECT_EQ(valueIn("minimumkbfree=500\r\n"), 500);
  EXPECT_EQ(valueIn("[Section]\r\nMINIMUMKBFREE=501\r\n"), 501);
  EXPECT_EQ(valueIn("MinimumKBFree=1000\r\nMinimumKBFree=2000\r\n"), 1000);
  // Not only at a line start: the key inside a longer key's entry.
  EXPECT_EQ(valueIn("XMinimumKBFree=600\r\n"), 600);
  open("MinimumKBFree=5\r\n");
  EXPECT_EQ(get("KBFree", 9, 0, 100), 5);
}

TEST_F(IniStore, ReadSkipsEntriesRightAfterACommentCharacter) {
  EXPECT_EQ(valueIn("#MinimumKBFree=500\r\nMinimumKBFree=700\r\n"), 700);
  EXPECT_EQ(valueIn(";MinimumKBFree=500\r\nMinimumKBFree=701\r\n"), 701);
  EXPECT_EQ(valueIn("#MinimumKBFree=500\r\n"), 10000);
  // Only the one character before the key counts.
  EXPECT_EQ(valueIn("; MinimumKBFree=500\r\n"), 500);
  EXPECT_EQ(valueIn("# MinimumKBFree=502\r\n"), 502);
  // At the text's first character the key's own first character decides.
  open("#k=5\r\n");
  EXPECT_EQ(get("#k", 9, 0, 100), 9);
  open("a#k=5\r\n");
  EXPECT_EQ(get("#k", 9, 0, 100), 5);
}

TEST_F(IniStore, ReadFallsBackToTheDefaultUnclamped) {
  for (const char* value : {"", " 500", "500 ", "+500", "-", "5a", "5\r00"})
    EXPECT_EQ(valueIn(std::string(kKey) + "=" + value + "\r\n"), 10000) << '"' << value << '"';
  EXPECT_EQ(valueIn("MinimumKBFree=500"), 10000) << "no line end";
  EXPECT_EQ(valueIn("Other=500\r\n"), 10000) << "absent";
  // Out of range: the default is answered as given.
  EXPECT_EQ(valueIn("MinimumKBFree=x\r\n", 7), 7);
  EXPECT_EQ(valueIn("Other=1\r\n", 7), 7);
}

TEST_F(IniStore, ReadConvertsAs32BitUnsignedThenSigned) {
  EXPECT_EQ(valueIn("MinimumKBFree=-5\r\n"), 100);
  EXPECT_EQ(valueIn("MinimumKBFree=60000\r\n"), 50000);
  EXPECT_EQ(valueIn("MinimumKBFree=99999999999\r\n"), 100) << "saturates to -1";
  const std::pair<const char*, int32_t> wide[] = {
      {"4294967295", -1},         {"4294967296", -1},          {"99999999999", -1},
      {"-1", -1},                 {"-4294967295", 1},          {"-4294967296", -1},
      {"2147483648", INT32_MIN},  {"-2147483648", INT32_MIN},  {"2147483647", INT32_MAX},
      {"-00000000001", -1},
  };
  for (const auto& [value, expected] : wide)
    EXPECT_EQ(valueIn(std::string(kKey) + "=" + value + "\r\n", 0, INT32_MIN, INT32_MAX), expected) << value;
}

TEST_F(IniStore, ReadExaminesElevenCharactersWhereTheLineEndIsClean) {
  // The conversion reads on past the eleven examined characters.
  EXPECT_EQ(valueIn("MinimumKBFree=00000000000123\r\n"), 123);
  EXPECT_EQ(valueIn("MinimumKBFree=-0000000000123\r\n", 0, INT32_MIN, INT32_MAX), -123);
  // A letter past them is not examined; the conversion stops there at 0.
  EXPECT_EQ(valueIn("MinimumKBFree=00000000000a\r\n"), 100);
  EXPECT_EQ(valueIn("MinimumKBFree=00000000000a\n"), 100);
  EXPECT_EQ(valueIn("MinimumKBFree=00000000000a\r"), 100);
  // A lone LF with a CR later: the span runs uncapped to the LF.
  EXPECT_EQ(valueIn("MinimumKBFree=00000000000a\nOther=1\r\n"), 10000);
}

TEST_F(IniStore, ReadHoldsValuesWithinTheLimits) {
  for (const char* value : {"5", "150", "500"})
    EXPECT_EQ(valueIn(std::string(kKey) + "=" + value + "\r\n", 10000, 200, 100), 100) << value;
  EXPECT_EQ(valueIn("MinimumKBFree=100\r\n"), 100);
  EXPECT_EQ(valueIn("MinimumKBFree=50000\r\n"), 50000);
}

TEST_F(IniStore, ReadStaysInTheTextAndAllocatesNothing) {
  // A key cut by the NUL, and a whole entry behind it, are not seen.
  open("x=1\r\nMinimum", 512, "KBFree=500\r\n");
  EXPECT_EQ(get(kKey), 10000);
  open("x=1\r\n", 512, "MinimumKBFree=500\r\n");
  EXPECT_EQ(get(kKey), 10000);
  // A value whose line end lies behind the NUL has no line end.
  open("MinimumKBFree=500", 512, "\r\n");
  EXPECT_EQ(get(kKey), 10000);

  open("MinimumKBFree=500\r\n");
  const sim::MemoryStats before = fw().memory();
  EXPECT_EQ(get(kKey), 500);
  EXPECT_EQ(get("Absent"), 10000);
  EXPECT_EQ(fw().memory().allocations, before.allocations);
  EXPECT_EQ(fw().memory().liveBlocks, before.liveBlocks);
  EXPECT_TRUE(fw().trace().empty());
  EXPECT_EQ(text(), "MinimumKBFree=500\r\n");
}

TEST_F(IniStore, NullKeyOrNoOpenText) {
  EXPECT_EQ(get(kKey, 7), 7) << "nothing open";
  set(kKey, "1");
  MODULE_FN(INISetInt)(kKey, 1);
  EXPECT_EQ(MODULE_VAR(INIBuffer), nullptr);
  EXPECT_EQ(fw().memory().allocations, 0u);
  char marker = 0;
  char* start = &marker;
  char* end = &marker;
  MODULE_FN(INIFindStartEnd)("MinimumKBFree=", &start, &end, 100);
  EXPECT_EQ(start, nullptr);
  EXPECT_EQ(end, &marker) << "the end is left to the caller";

  open("MinimumKBFree=500\r\n");
  EXPECT_EQ(get(nullptr, 7), 0) << "a null key reads 0, not the default";
  set(nullptr, "1");
  set(kKey, nullptr);
  MODULE_FN(INISetInt)(nullptr, 1);
  EXPECT_EQ(text(), "MinimumKBFree=500\r\n");
  EXPECT_EQ(calls("TAP_MemAlloc").size(), 0u);
  // Null references or a zero limit write nothing.
  start = end = &marker;
  MODULE_FN(INIFindStartEnd)("MinimumKBFree=", &start, &end, 0);
  MODULE_FN(INIFindStartEnd)("MinimumKBFree=", nullptr, &end, 100);
  MODULE_FN(INIFindStartEnd)("MinimumKBFree=", &start, nullptr, 100);
  EXPECT_EQ(start, &marker);
  EXPECT_EQ(end, &marker);
}

TEST_F(IniStore, FindStartEndDeliversTheSpanBeforeTheLineEnd) {
  auto span = [&](const char* pattern, uint32_t limit = 100) {
    char* start = nullptr;
    char* end = nullptr;
    MODULE_FN(INIFindStartEnd)(pattern, &start, &end, limit);
    if (start == nullptr) return std::string("absent");
    if (end == nullptr) return std::string(start) + "[no end]";
    return std::string(start, end + 1);
  };
  // The first CR and the first LF after the key decide where the line ends.
  open("a=1\r\nb=22\nc=3\rd=4\n\re=5\rx\nf=6");
  EXPECT_EQ(span("a="), "a=1");       // CR LF
  EXPECT_EQ(span("B="), "b=22");      // LF, a CR later
  EXPECT_EQ(span("c="), "c=3\rd=4");  // CR, an LF later: runs to the LF
  EXPECT_EQ(span("d="), "d=4");       // LF CR
  EXPECT_EQ(span("e="), "e=5\rx");    // CR, other characters, LF
  EXPECT_EQ(span("f="), "f=6[no end]");
  EXPECT_EQ(span("g="), "absent");
  // The limit caps the span where the line end is CR LF, a CR without an LF
  // after it, or an LF without a CR after it; nowhere else.
  EXPECT_EQ(span("a=", 2), "a=");
  EXPECT_EQ(span("b=", 3), "b=22");
  EXPECT_EQ(span("c=", 3), "c=3\rd=4");
  EXPECT_EQ(span("d=", 1), "d=4");
  open("b=22\nx\n");
  EXPECT_EQ(span("b=", 3), "b=2");
  EXPECT_EQ(span("b=", 9), "b=22");
  open("c=33\rx\r");
  EXPECT_EQ(span("c=", 3), "c=3");
}

TEST_F(IniStore, ReplaceKeepsEveryOtherByte) {
  open("Other=1\r\nminimumkbfree=7\r\nThird=2\r\n");
  char* old = MODULE_VAR(INIBuffer);
  MODULE_FN(INISetInt)(kKey, 300);
  EXPECT_EQ(text(), "Other=1\r\nMinimumKBFree=300\r\nThird=2\r\n");
  // Always a new block, zero-filled, the old one released.
  EXPECT_NE(MODULE_VAR(INIBuffer), old);
  EXPECT_EQ(MODULE_VAR(BufferSize), 512u);
  EXPECT_EQ(sim::record::lines(fw().trace()), (std::vector<std::string>{
                              R"(TAP_SPrint("%d") -> "300")",
                              "TAP_MemAlloc(512) = #2",
                              "TAP_MemSet(#2, 0, 512)",
                              "TAP_MemFree(#1)",
                          }));
  EXPECT_EQ(fw().memory().liveBlocks, 1u);

  // The whole old value goes; its line end and the lines after stay, lone LF too.
  open("#MinimumKBFree=1\nMinimumKBFree=5 ; old\nlast");
  set(kKey, "-2");
  EXPECT_EQ(text(), "#MinimumKBFree=1\nMinimumKBFree=-2\nlast");
}

TEST_F(IniStore, SetWritesTheKeyAsTheCallerWritesIt) {
  // A key that is the tail of a longer key sets the longer key's entry.
  open("MinimumKBFree=5\r\n");
  set("KBFree", "1");
  EXPECT_EQ(text(), "MinimumKBFree=1\r\n");
  open("minimumkbfree=5\r\n");
  set("MINIMUMKBFREE", "6");
  EXPECT_EQ(text(), "MINIMUMKBFREE=6\r\n");
}

TEST_F(IniStore, AppendWhenTheKeyHasNoEntry) {
  open("", 512);
  MODULE_FN(INISetInt)(kKey, 10000);
  EXPECT_EQ(text(), "MinimumKBFree=10000\r\n");
  EXPECT_EQ(text().size(), 21u);
  EXPECT_EQ(calls("TAP_MemAlloc").size(), 0u) << "fits: no new block";

  open("A=1\r\n#MinimumKBFree=2\r\n");
  set(kKey, "3");
  EXPECT_EQ(text(), "A=1\r\n#MinimumKBFree=2\r\nMinimumKBFree=3\r\n");
  // An entry without a line end is no entry to replace.
  open("MinimumKBFree=5");
  set(kKey, "6");
  EXPECT_EQ(text(), "MinimumKBFree=5MinimumKBFree=6\r\n");
}

TEST_F(IniStore, GrowsByOneStepAtMost) {
  // "K=", the value and CR LF NUL: 1024 bytes fit one step above 512.
  open("", 512);
  set("K", std::string(1020, 'v').c_str());
  EXPECT_EQ(text(), "");
  EXPECT_EQ(MODULE_VAR(BufferSize), 512u);
  EXPECT_EQ(calls("TAP_MemAlloc").size(), 0u);

  set("K", std::string(1019, 'v').c_str());
  EXPECT_EQ(text(), "K=" + std::string(1019, 'v') + "\r\n");
  EXPECT_EQ(MODULE_VAR(BufferSize), 1024u);
  EXPECT_EQ(sim::record::lines(fw().trace()), (std::vector<std::string>{
                              "TAP_MemAlloc(1024) = #2",
                              "TAP_MemSet(#2, 0, 1024)",
                              "TAP_MemCpy(#2, #1, 512)",
                              "TAP_MemFree(#1)",
                          }));

  // Replacing: "K=1" becomes "K=" and the value, before CR LF NUL.
  open("K=1\r\n", 512);
  set("K", std::string(1019, 'v').c_str());
  EXPECT_EQ(text(), "K=1\r\n");
  EXPECT_EQ(MODULE_VAR(BufferSize), 512u);
  set("K", std::string(1018, 'v').c_str());
  EXPECT_EQ(text(), "K=" + std::string(1018, 'v') + "\r\n");
  EXPECT_EQ(MODULE_VAR(BufferSize), 1024u);

  // A failed allocation drops the set.
  open("K=1\r\n", 512);
  fw().failCall("TAP_MemAlloc", 0);
  set("K", "2");
  set("New", std::string(600, 'v').c_str());
  EXPECT_EQ(text(), "K=1\r\n");
  EXPECT_EQ(MODULE_VAR(BufferSize), 512u);
}

TEST_F(IniStore, KeysEqualInTheirFirst78CharactersAreOne) {
  const std::string stem(78, 'k');
  open("");
  set((stem + "A").c_str(), "1");
  EXPECT_EQ(text(), stem + "=1\r\n");
  EXPECT_EQ(get((stem + "B").c_str(), 0, 0, 9), 1);
  set((stem + "Bxyz").c_str(), "2");
  EXPECT_EQ(text(), stem + "=2\r\n");
  // A difference in the 78th character makes another key.
  EXPECT_EQ(get((stem.substr(0, 77) + "j").c_str(), 0, 0, 9), 0);
}

TEST_F(IniStore, StricstrFindsTheLeftmostOccurrenceInAnyAsciiCase) {
  auto find = MODULE_FN(stricstr);
  const char text[] = "xyz k=1 K=2";
  EXPECT_EQ(find(text, ""), nullptr);
  EXPECT_EQ(find(text, "K="), text + 4);
  EXPECT_EQ(find(text, "Z K"), text + 2);
  EXPECT_EQ(find(text, "K=3"), nullptr);
  EXPECT_EQ(find(text, "=12"), nullptr) << "ends inside the text's end";
  EXPECT_EQ(find("", "a"), nullptr);
  // Only ASCII letters have two cases.
  EXPECT_EQ(find("[", "{"), nullptr);
  EXPECT_EQ(find("a@", "A`"), nullptr);
  EXPECT_EQ(find("\xC9", "\xE9"), nullptr);
  EXPECT_STREQ(find("\xE9t\xC9", "\xC9"), "\xC9");
}

TEST_F(IniStore, StricstrSkipsFailedCandidatesAndStopsAtTheTerminator) {
  auto find = MODULE_FN(stricstr);
  // Many candidates that share a prefix with the pattern, the match last.
  std::string text;
  for (int i = 0; i < 200; ++i) text += i % 2 ? "mINIMUM=1\r\n" : "Mx;m\r\n";
  const std::string guardedText = text + "minimumkbfree=7";
  EdgeString guarded(guardedText);
  EXPECT_EQ(find(guarded.c_str(), "MinimumKBFree="), guarded.c_str() + text.size());
  // A candidate cut off by the terminator, right before the unreadable page.
  EdgeString cut(text + "MinimumKB");
  EXPECT_EQ(find(cut.c_str(), "MinimumKBFree="), nullptr);
  EdgeString lone("M");
  EXPECT_EQ(find(lone.c_str(), "MM"), nullptr);
}

}  // namespace
