// The entry points and runtime hooks the firmware's loader calls.
#include <sys/wait.h>
#include <unistd.h>

#include "SteadyflowTest.h"
#include "harness.h"
#include "process.h"

namespace {

extern "C" void* builtin_new(int32_t size);

using EntryPoints = DeviceTest;

// The calls the firmware's loader makes, in its order: _init at load,
// __TAP_Init_, the main entry and the event handler through the slots it
// filled, _finit at unload. The hooks do nothing; the slots hold the
// module's own entries, and the main entry through its slot makes the
// start-up run and answers 0.
TEST_F(EntryPoints, LoaderReachesTheEntriesThroughTheSlotsInitFills) {
  MODULE_FN(_init)();
  EXPECT_TRUE(fw().trace().empty()) << "_init did something";
  TapEntryRecord entries = {nullptr, nullptr};
  EXPECT_EQ(MODULE_FN(__TAP_Init_)(&entries), 0);
  EXPECT_EQ(reinterpret_cast<void*>(entries.main), reinterpret_cast<void*>(&MODULE_FN(TAP_Main)));
  EXPECT_EQ(reinterpret_cast<void*>(entries.event), reinterpret_cast<void*>(&MODULE_FN(TAP_EventHandler)));
  ASSERT_NE(entries.main, nullptr);
  EXPECT_EQ(entries.main(), 0);
  EXPECT_EQ(commands(), std::vector<std::string>{"echo 10000 > /proc/sys/vm/min_free_kbytes"});
  fw().clearTrace();
  EXPECT_EQ(entries.event(1, 7, 0), 7u);
  MODULE_FN(_finit)();
  EXPECT_TRUE(fw().trace().empty()) << "the event handler or _finit did something";
}

TEST_F(EntryPoints, EventHandlerAnswersItsSecondArgument) {
  auto handler = MODULE_FN(TAP_EventHandler);
  for (uint32_t event : {0u, 1u, 0x100u, 0xFFFFFFFFu}) {
    EXPECT_EQ(handler(event, 7, 99), 7u) << event;
    EXPECT_EQ(handler(event, 0, 99), 0u) << event;
    EXPECT_EQ(handler(event, 0xFFFFFFFFu, 0), 0xFFFFFFFFu) << event;
  }
  EXPECT_TRUE(fw().trace().empty()) << "handling an event does nothing else";
}

TEST_F(EntryPoints, BuiltinNewPrintsAndAllocates) {
  auto* allocate = &moduleExport<decltype(builtin_new)>("__builtin_new");
  void* block = allocate(0);
  EXPECT_EQ(sim::record::printed(fw().trace()), "__builtin_new. size=0\n");
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(fw().memory().liveBlocks, 1u);
  EXPECT_EQ(sim::record::lines(calls("TAP_MemAlloc")), std::vector<std::string>{"TAP_MemAlloc(0) = #1"});

  fw().failCall("TAP_MemAlloc", 2);
  EXPECT_EQ(allocate(24), nullptr);
  EXPECT_EQ(sim::record::printed(fw().trace()), "__builtin_new. size=0\n__builtin_new. size=24\n");
}

TEST_F(EntryPoints, AbortSleepsForever) {
  // abort never returns; the firmware ends the child process after the
  // third sleep, so the test sees it sleeping again and again.
  auto abortHook = MODULE_FN(abort);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    fw().exitAfterSleeps(3, 42);
    abortHook();
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const sim::process::Ending ending = sim::process::ending(status);
  ASSERT_TRUE(ending.exited);
  EXPECT_EQ(ending.code, 42);
}

}  // namespace
