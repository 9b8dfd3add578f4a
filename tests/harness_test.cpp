// The harness's own writes: a test must not go on with a disk or files other
// than the ones it laid out.
#include <stdexcept>

#include "harness.h"

namespace {

using Harness = DeviceTest;

TEST_F(Harness, WritesThatFailThrow) {
  EXPECT_THROW(writeFile("/NoFolder/Steadyflow.ini", "MinimumKBFree=500\r\n"), std::runtime_error);
  makeDir("/ProgramFiles/Settings");
  EXPECT_THROW(writeFile("/ProgramFiles/Settings", "a folder stands there"), std::runtime_error);
  EXPECT_THROW(writeHostFile(sandbox() + "/disk/NoFolder/f", "x"), std::runtime_error);
  writeFile("/ProgramFiles/Steadyflow.ini", "MinimumKBFree=500\r\n");
  EXPECT_EQ(readFile("/ProgramFiles/Steadyflow.ini"), "MinimumKBFree=500\r\n");
}

}  // namespace
