// The terminal echo: the first pseudo-terminal that opens gets the text and
// its zero byte; no other does.
#include <gmock/gmock.h>

#include "harness.h"
#include "helpers.h"
#include "platform.h"

namespace {

class TerminalEcho : public DeviceTest {
  DeviceConfig config() const override {
    DeviceConfig c;
    c.terminals = {};
    return c;
  }
};

TEST_F(TerminalEcho, GoesToTheFirstDeviceThatOpens) {
  addTerminal(2);
  addTerminal(5);
  MODULE_FN(PrintNet)("hello\n");
  EXPECT_EQ(terminal(2), std::string("hello\n\0", 7));
  EXPECT_EQ(terminal(5), "");
  EXPECT_EQ(sim::record::lines(calls("TAP_SPrint")), (std::vector<std::string>{
                                     R"(TAP_SPrint("/dev/pts/%d") -> "/dev/pts/0")",
                                     R"(TAP_SPrint("/dev/pts/%d") -> "/dev/pts/1")",
                                     R"(TAP_SPrint("/dev/pts/%d") -> "/dev/pts/2")",
                                 }));
  // The module's own opens, read-write and no other flag, as recorded.
  std::vector<std::string> opens;
  for (const sim::record::OpenCall& call : sim::platform::opens()) opens.push_back(sim::record::text(call));
  EXPECT_THAT(opens, testing::ElementsAre(R"(open("/dev/pts/0", 2) = -1 (ENOENT))",
                                          R"(open("/dev/pts/1", 2) = -1 (ENOENT))",
                                          testing::StartsWith(R"(open("/dev/pts/2", 2) = )")));
}

TEST_F(TerminalEcho, EmptyTextWritesOneZeroByte) {
  addTerminal(0);
  MODULE_FN(PrintNet)("");
  EXPECT_EQ(terminal(0), std::string(1, '\0'));
}

TEST_F(TerminalEcho, TriesOnlyDevicesZeroToNineteen) {
  addTerminal(20);
  MODULE_FN(PrintNet)("x");
  EXPECT_EQ(terminal(20), "");
  EXPECT_EQ(calls("TAP_SPrint").size(), 20u);
  EXPECT_EQ(sim::record::text(calls("TAP_SPrint").back()), R"(TAP_SPrint("/dev/pts/%d") -> "/dev/pts/19")");
}

TEST_F(TerminalEcho, WritesNothingWithoutTerminalsOrText) {
  MODULE_FN(PrintNet)("nobody listens\n");
  MODULE_FN(PrintNet)(nullptr);
  addTerminal(0);
  MODULE_FN(PrintNet)(nullptr);
  EXPECT_EQ(terminal(0), "");
}

}  // namespace
