// Firmware symbols found through the dynamic linker: what one lookup does,
// which results are kept, and what the accessors find in the firmware data.
#include <dlfcn.h>
#include <gmock/gmock.h>

#include "harness.h"
#include "helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kMode = std::to_string(RTLD_LAZY | RTLD_GLOBAL);
#if defined(__mips__)
static_assert((RTLD_LAZY | RTLD_GLOBAL) == 5, "lazy binding plus global scope");
#endif

// The calls of one lookup that the dynamic linker answers with ERROR
// ("NULL" when it reports none).
std::vector<std::string> lookup(const std::string& symbol, bool found, const std::string& error = "NULL") {
  return {"dlopen(NULL, " + kMode + ") = handle", "dlsym(handle, \"" + symbol + "\") = " + (found ? "address" : "NULL"),
          "dlerror() = " + error, "dlclose(handle)"};
}

std::vector<std::string> repeated(const std::vector<std::string>& calls, int times) {
  std::vector<std::string> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), calls.begin(), calls.end());
  return out;
}

class SymbolLookup : public DeviceTest {};

TEST_F(SymbolLookup, FoundSymbolsAreLookedUpOnceAndKept) {
  TapTaskEntry* table = MODULE_FN(FIS_vTAPTable)();
  EXPECT_EQ(table, firmwareExport("_tapTask"));
  EXPECT_EQ(sim::record::lines(sim::linker::calls()), lookup("_tapTask", true));

  sim::linker::reset();
  int32_t* current = MODULE_FN(FIS_vCurTapTask)();
  void* routine = MODULE_FN(FIS_fwAppl_ConvertToValidUTF8Str)();
  EXPECT_EQ(current, firmwareExport("_curTapTask"));
  EXPECT_EQ(routine, firmwareExport("_Z26Appl_ConvertToValidUTF8StrPhi"));
  std::vector<std::string> both = lookup("_curTapTask", true);
  for (const std::string& line : lookup("_Z26Appl_ConvertToValidUTF8StrPhi", true)) both.push_back(line);
  EXPECT_EQ(sim::record::lines(sim::linker::calls()), both);

  sim::linker::reset();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), table);
    EXPECT_EQ(MODULE_FN(FIS_vCurTapTask)(), current);
    EXPECT_EQ(MODULE_FN(FIS_fwAppl_ConvertToValidUTF8Str)(), routine);
    EXPECT_EQ(MODULE_FN(isUTFFirmware)(), 1);
  }
  EXPECT_THAT(sim::linker::calls(), IsEmpty()) << "a found symbol costs no further lookup";
}

TEST_F(SymbolLookup, AccessorsLeadToTheCurrentDirectory) {
  ASSERT_TRUE(fw().setCurrentDir("/ProgramFiles"));
  TapTaskEntry* table = MODULE_FN(FIS_vTAPTable)();
  int32_t* current = MODULE_FN(FIS_vCurTapTask)();
  ASSERT_NE(table, nullptr);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(*current, 2);
  const TapDirRecord* record = table[*current].dirRecord;
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->directory, fw().taskDirectory());
  EXPECT_STREQ(record->directory + TAP_DIR_PREFIX_LEN, "/ProgramFiles");
}

TEST_F(SymbolLookup, UnnamedOrUnknownSymbolIsNull) {
  EXPECT_EQ(MODULE_FN(TryResolve)(nullptr), nullptr);
  EXPECT_THAT(sim::linker::calls(), IsEmpty());
  EXPECT_EQ(MODULE_FN(TryResolve)("no_such_symbol"), nullptr);
  ASSERT_EQ(sim::linker::count(sim::record::LinkerFn::Error), 1u);
  EXPECT_TRUE(sim::linker::calls()[2].error.has_value());
  EXPECT_EQ(sim::linker::count(sim::record::LinkerFn::Close), 1u);
}

TEST_F(SymbolLookup, NoProcessHandleLeavesEveryCacheEmpty) {
  sim::linker::refuseProcessHandle(3);
  EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), nullptr);
  EXPECT_EQ(MODULE_FN(FIS_vCurTapTask)(), nullptr);
  EXPECT_EQ(MODULE_FN(FIS_fwAppl_ConvertToValidUTF8Str)(), nullptr);
  // Neither the error state is read nor anything closed.
  const std::string refused = "dlopen(NULL, " + kMode + ") = NULL";
  EXPECT_THAT(sim::record::lines(sim::linker::calls()), ElementsAre(refused, refused, refused));

  // The next calls look up again and find them.
  sim::linker::reset();
  EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), firmwareExport("_tapTask"));
  EXPECT_EQ(MODULE_FN(FIS_vCurTapTask)(), firmwareExport("_curTapTask"));
  EXPECT_EQ(MODULE_FN(FIS_fwAppl_ConvertToValidUTF8Str)(), firmwareExport("_Z26Appl_ConvertToValidUTF8StrPhi"));
  EXPECT_EQ(sim::linker::count(sim::record::LinkerFn::Open), 3u);
}

TEST_F(SymbolLookup, ReportedErrorWinsOverAnAddress) {
  sim::linker::reportErrorFor("_tapTask", "injected failure");
  EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), nullptr);
  EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), nullptr);
  EXPECT_EQ(sim::record::lines(sim::linker::calls()), repeated(lookup("_tapTask", true, "\"injected failure\""), 2));

  sim::linker::reportErrorFor("_tapTask", "");
  EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), firmwareExport("_tapTask"));
}

class NoFirmwareData : public DeviceTest {
  DeviceConfig config() const override {
    DeviceConfig c;
    c.taskTable = false;
    c.utf8Routine = false;
    return c;
  }
};

TEST_F(NoFirmwareData, MissingSymbolCostsAFullLookupEveryTime) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(MODULE_FN(FIS_fwAppl_ConvertToValidUTF8Str)(), nullptr);
  const auto& calls = sim::linker::calls();
  ASSERT_EQ(calls.size(), 12u);
  for (size_t i = 0; i < calls.size(); i += 4) {
    EXPECT_EQ(calls[i + 1].name, "_Z26Appl_ConvertToValidUTF8StrPhi");
    EXPECT_TRUE(calls[i + 2].error.has_value()) << "the linker reports the missing symbol";
    EXPECT_EQ(calls[i + 3].fn, sim::record::LinkerFn::Close);
    EXPECT_EQ(calls[i + 3].handle, calls[i].handle);
  }

  // Every high byte the encoding walk examines asks again.
  sim::linker::reset();
  EXPECT_EQ(MODULE_FN(isUTFFirmware)(), 0);
  int32_t latin1 = 0, utf8 = 0;
  MODULE_FN(GetStringEncoding)("a\xE9" "b\xC3\xA9", &latin1, &utf8);
  EXPECT_EQ(sim::linker::count(sim::record::LinkerFn::Open), 4u);
  EXPECT_EQ(sim::linker::count(sim::record::LinkerFn::Close), 4u);
}

TEST_F(NoFirmwareData, SymbolsExportedLaterAreFoundThen) {
  EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), nullptr);
  EXPECT_EQ(MODULE_FN(FIS_vCurTapTask)(), nullptr);
  EXPECT_EQ(MODULE_FN(isUTFFirmware)(), 0);

  loadFirmwareData(sim::FirmwareData::TaskTable);
  EXPECT_EQ(MODULE_FN(FIS_vTAPTable)(), firmwareExport("_tapTask"));
  EXPECT_EQ(MODULE_FN(FIS_vCurTapTask)(), firmwareExport("_curTapTask"));
  EXPECT_EQ(MODULE_FN(isUTFFirmware)(), 0);

  loadFirmwareData(sim::FirmwareData::Utf8Routine);
  EXPECT_EQ(MODULE_FN(isUTFFirmware)(), 1);

  sim::linker::reset();
  MODULE_FN(FIS_vTAPTable)();
  MODULE_FN(FIS_vCurTapTask)();
  MODULE_FN(isUTFFirmware)();
  EXPECT_THAT(sim::linker::calls(), IsEmpty());
}

}  // namespace
