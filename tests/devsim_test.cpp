// The loader CLI: a module runs once; bad input gets one line and a non-zero
// exit.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "event_text.h"
#include "file.h"
#include "harness.h"

namespace {

using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;

std::string slurp(const std::string& path) { return sim::readFile(path).value_or(""); }

std::set<std::string> listing(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

class Devsim : public testing::Test {
 protected:
  void SetUp() override {
    if (!sim::Session::current().confined()) GTEST_SKIP() << "devsim runs modules only confined";
    sandbox_ = temporaryFolder();
  }
  void TearDown() override { std::filesystem::remove_all(sandbox_); }
  CommandResult devsim(const std::vector<std::string>& args, const std::string& sandbox = "") {
    std::vector<std::string> argv = sim::Session::programCommand(DEVSIM_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--sandbox", sandbox.empty() ? sandbox_ : sandbox});
    return runProgram(argv);
  }
  // The module must fail with exit 1 and one line that says WHY.
  void expectRefused(const std::string& module, const std::string& why, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"run", module});
    const CommandResult r = devsim(options);
    EXPECT_EQ(r.status, 1) << module;
    EXPECT_THAT(r.err, HasSubstr(why)) << module;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
  std::string sandbox_;
};

TEST_F(Devsim, RunsTheModuleOnce) {
  const CommandResult r = devsim({"run", MODULE_PATH});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("name       SteadyflowTest V1.0\n"));
  EXPECT_THAT(r.out, HasSubstr("version    V1.0\n"));
  EXPECT_THAT(r.out, HasSubstr("header     TFAPMIPS 0x10, ok\n"));
  EXPECT_THAT(r.out, HasSubstr("init       __TAP_Init_ returned 0; main and event slots filled\n"));
  EXPECT_THAT(r.out, HasSubstr("main       TAP_Main returned 0\n"));
  EXPECT_THAT(r.out, HasSubstr("event      TAP_EventHandler(0x1, 7, 0) returned 7\n"));
  EXPECT_THAT(r.out, HasSubstr("command    echo 10000 > /proc/sys/vm/min_free_kbytes (shell exit 0)\n"));
  // The first run: folders, a new file written; the task table looked up twice.
  EXPECT_THAT(r.out, HasSubstr("heap       0 blocks live, peak 512 bytes\n"));
  EXPECT_THAT(r.out, HasSubstr("calls      40 firmware, 8 dynamic-linker (dlopen 2, dlsym 2, dlerror 2, dlclose 2)\n"));
}

// A sandbox named with what a shell or a mount table reads otherwise: the run
// is the same, and nothing appears beside the sandbox.
TEST_F(Devsim, RunsInSandboxesNamedWithAnyCharacter) {
  const std::set<std::string> names = {"a blank",       "semi;colon",        "more>than",   "$(touch made)",
                                       "single'quote",  "double\"quote",     "back\\slash", "new\nline",
                                       "tab\tand\\040", "\xC3\xA9t\xC3\xA9", "lone\xE9"};
  for (const std::string& name : names) {
    const std::string sandbox = sandbox_ + "/" + name;
    const CommandResult r = devsim({"run", MODULE_PATH}, sandbox);
    ASSERT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_THAT(r.out, HasSubstr("terminal   /dev/pts/0 received 43 bytes: \"echo 10000 > "
                                 "/proc/sys/vm/min_free_kbytes\\n\\0\"\n"))
        << name;
    EXPECT_THAT(r.out, HasSubstr("kernel     min_free_kbytes now holds \"10000\\n\"")) << name;
    // A fresh sandbox's disk was the bare disk: /ProgramFiles was there.
    EXPECT_THAT(r.out, HasSubstr("disk       /ProgramFiles/Settings created, a folder\n")) << name;
    EXPECT_THAT(r.out, Not(HasSubstr("disk       /ProgramFiles created"))) << name;
    EXPECT_EQ(slurp(sandbox + "/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini"), "MinimumKBFree=10000\r\n")
        << name;
    EXPECT_EQ(listing(sandbox), (std::set<std::string>{"disk"})) << name;
  }
  EXPECT_EQ(listing(sandbox_), names);
}

// devsim takes over no folder: one that is no sandbox (or no disk) is refused
// with its owner, mode and contents as they were; a run refused before the
// module starts, and devsim check, leave no sandbox behind.
TEST_F(Devsim, NeverTakesOverAFolder) {
  const std::string home = sandbox_ + "/home";
  std::filesystem::create_directories(home + "/documents");
  writeHostFile(home + "/notes", "notes\n");
  chmod(home.c_str(), 0751);
  struct stat before, after;
  ASSERT_EQ(stat(home.c_str(), &before), 0);
  const struct {
    std::vector<std::string> args;
    std::string sandbox, said;
  } cases[] = {
      {{"run", MODULE_PATH}, home, "home: holds the folder documents, which is no part of a sandbox"},
      {{"run", MODULE_PATH, "--disk", home}, sandbox_ + "/fresh", "home: holds no folder ProgramFiles"},
      {{"run", sandbox_ + "/missing.tap"}, sandbox_ + "/fresh", "missing.tap: "},
  };
  for (const auto& c : cases) {
    const CommandResult r = devsim(c.args, c.sandbox);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr(c.said));
  }
  ASSERT_EQ(stat(home.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(listing(home), (std::set<std::string>{"documents", "notes"}));
  EXPECT_FALSE(std::filesystem::exists(sandbox_ + "/fresh"));

  std::vector<std::string> argv = sim::Session::programCommand(DEVSIM_PATH);
  argv.push_back("check");
  const std::string empty = temporaryFolder();
  const CommandResult r = runProgram(argv, empty);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("no settings file on the disk"));
  EXPECT_TRUE(listing(empty).empty());
}

// A bare name is the file in the current folder, not a library to search for.
TEST_F(Devsim, RunsAModuleNamedFromItsFolder) {
  std::vector<std::string> argv = sim::Session::programCommand(DEVSIM_PATH);
  argv.insert(argv.end(), {"run", "SteadyflowTest.tap", "--sandbox", sandbox_});
  const CommandResult r = runProgram(argv, std::filesystem::path(MODULE_PATH).parent_path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("module     SteadyflowTest.tap\n"));
}

// An option's value follows it or its "=".
TEST_F(Devsim, DeliversTheEventsAskedFor) {
  const CommandResult r = devsim({"run", MODULE_PATH, "--event", "0x20:3:4", "--event=5:0:1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("TAP_EventHandler(0x20, 3, 4) returned 3\n"));
  EXPECT_THAT(r.out, HasSubstr("TAP_EventHandler(0x5, 0, 1) returned 0\n"));
}

TEST_F(Devsim, RefusesBadModuleFiles) {
  expectRefused(sandbox_ + "/missing.tap", "devsim: " + sandbox_ + "/missing.tap: No such file or directory\n");
  writeHostFile(sandbox_ + "/text.tap", "not a module\n");
  expectRefused(sandbox_ + "/text.tap", "is not an ELF file");
  expectRefused(SIM_LIBDIR "/libfwutf8.so", "has no module header (section ._tap_etcinfo missing)");
  // The header as the device's loader checks it; the image's loader says the same (same_refusal.sh).
  const std::string takes = "; the device's loader takes only \"TFAPMIPS\" 0x10\n";
  expectRefused(TEST_MODULES "/badmodule_nomagic.tap", "nomagic.tap: wrong module header \"NOTMIPS!\" 0x10" + takes);
  expectRefused(TEST_MODULES "/badmodule_wrongvalue.tap",
                "wrongvalue.tap: wrong module header \"TFAPMIPS\" 0x11" + takes);
  expectRefused(TEST_MODULES "/badmodule_noinit.tap", "has no entry point __TAP_Init_");
  // The device image runs a device module, in an image that is there.
  const bool device = std::string(STEADYFLOW_BUILD) == "device";
  expectRefused(MODULE_PATH,
                device ? "no device image at"
                       : "SteadyflowTest.tap: a module for this machine, not for the device; run it without --image or "
                         "--vm\n",
                {"--image", sandbox_ + "/no-image"});
}

// A module that misbehaves as its disk says ends the run with one line that
// names how and where, and a non-zero exit; one that reaches for more than
// the run may have is held to its limit.
TEST_F(Devsim, EndsAMisbehavingModuleWithOneLine) {
  struct Case {
    const char* behaviour;
    int status;  // 128 + the signal's number on this machine, whatever the build's
    const char* said;
  };
  const Case cases[] = {
      {"spin", 124, "devsim: the run took longer than its limit of 2 s in TAP_Main; the confinement was killed\n"},
      {"crash-load", 139, "devsim: the run was ended by the signal SIGSEGV while loading the module\n"},
      {"crash-init", 139, "devsim: the run was ended by the signal SIGSEGV in __TAP_Init_\n"},
      {"crash-main", 139, "devsim: the run was ended by the signal SIGSEGV in TAP_Main\n"},
      {"crash-event", 139, "devsim: the run was ended by the signal SIGSEGV in TAP_EventHandler\n"},
      {"file", 153, "devsim: the run was ended by the signal SIGXFSZ in TAP_Main\n"},
      {"files", 1,
       "devsim: the run's disk cannot be given back: /run/steadyflow/disk: the disk holds more than 4096 "
       "entries\n"},
      {"forge", 1, "devsim: the run gave no whole records; its report cannot be made\n"},
      {"flood", 0, "devsim: the module's output passed its cap of 1048576 bytes; the rest was not shown\n"},
  };
  for (const Case& c : cases) {
#ifdef STEADYFLOW_SANITIZE
    // The sanitizer reports a crash itself, at length, and exits 1.
    if (c.status == 139) continue;
#endif
    const std::string sandbox = sandbox_ + "/" + c.behaviour;
    std::filesystem::create_directories(sandbox + "/disk");
    writeHostFile(sandbox + "/disk/misbehave", c.behaviour);
    const CommandResult r = devsim({"run", TEST_MODULES "/misbehaving.tap", "--timeout", "2"}, sandbox);
    EXPECT_EQ(r.status, c.status) << c.behaviour << ": " << r.err;
    // Whatever it printed is marked as its own, and its forgery no line of the report's.
    EXPECT_THAT(r.out, Not(HasSubstr("\nname       forged"))) << c.behaviour;
    // Under qemu the emulator names a crash too, in a line of its own before.
    EXPECT_THAT(r.err, EndsWith(c.said)) << c.behaviour;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  }
  const std::pair<const char*, long> limits[] = {{"processes", 300}, {"memory", 1024}};
  for (const auto& [behaviour, most] : limits) {
#ifdef STEADYFLOW_SANITIZE
    // A sanitized program has no memory limit: its shadow memory takes none.
    if (std::string(behaviour) == "memory") continue;
#endif
    const std::string sandbox = sandbox_ + "/" + behaviour;
    std::filesystem::create_directories(sandbox + "/disk");
    writeHostFile(sandbox + "/disk/misbehave", behaviour);
    const CommandResult r = devsim({"run", TEST_MODULES "/misbehaving.tap", "--timeout", "5"}, sandbox);
    // The module stops at the limit and the run ends, or the limit ends the
    // run itself (qemu-mipsel's own memory is limited with its guest's):
    // never does the module get past it.
    const size_t at = r.out.find("misbehaving: ");
    if (r.status == 0 && at != std::string::npos)
      EXPECT_LE(atol(r.out.c_str() + at + 13), most) << r.out;
    else
      EXPECT_THAT(r.err, HasSubstr("devsim: the run ")) << behaviour << ": " << r.status << " " << r.err;
  }
  // Shared memory and memfds, which no per-process limit counts: where the
  // caller may make a memory cgroup (root), the run is held to its cap, this
  // suite's own run's cgroup around devsim's.
  const bool cgroup = getenv("STEADYFLOW_MEMORY_CAP") != nullptr;
  for (const char* behaviour : {"shared-memory", "memfd"}) {
    if (!cgroup) {
      GTEST_LOG_(INFO) << behaviour << " not tried: no memory cgroup for this caller (docs/safety.md)";
      continue;
    }
    const std::string sandbox = sandbox_ + "/" + behaviour;
    std::filesystem::create_directories(sandbox + "/disk");
    writeHostFile(sandbox + "/disk/misbehave", behaviour);
    const CommandResult r = devsim({"run", TEST_MODULES "/misbehaving.tap", "--timeout", "20"}, sandbox);
    EXPECT_THAT(r.err, testing::MatchesRegex(".*devsim: the run (passed its memory cap of [0-9]+ MiB|was ended by the "
                                             "signal SIGKILL) in TAP_Main.*"))
        << behaviour << ": " << r.status << r.out;
    EXPECT_THAT(r.out, Not(HasSubstr("misbehaving: held 3072 MiB"))) << behaviour;
  }
}

// What the module file brings is shown escaped: a name holding a line end
// cannot add a line to the report.
TEST_F(Devsim, ShowsTheModulesTextsEscaped) {
  std::string bytes = slurp(TEST_MODULES "/misbehaving.tap");
  const size_t name = bytes.find("misbehaving V0");
  ASSERT_NE(name, std::string::npos);
  bytes.replace(name, 14, "x\nkernel     Y");
  const std::string forged = sandbox_ + "/forged.tap";
  writeHostFile(forged, bytes);
  const CommandResult r = devsim({"run", forged});
  EXPECT_THAT(r.out, HasSubstr("name       x\\nkernel     Y\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("\nkernel     Y")));
}

// Nothing runs outside the confinement: not when the environment names the
// sandbox as if it were in effect, nor on a sandbox another run holds.
// devsim takes itself for its own confined part only when a confinement is
// in effect (tests/confinement.sh tries the hint without one): the hint here
// gets the records of a run in this suite's room, and the sandbox named is
// never written. A sandbox in use by another run is refused.
TEST_F(Devsim, RunsNothingUnconfined) {
  setenv("STEADYFLOW_INSIDE", "1", 1);
  CommandResult r = devsim({"run", MODULE_PATH, "--no-shell"});
  unsetenv("STEADYFLOW_INSIDE");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\nend\n"));
  EXPECT_FALSE(std::filesystem::exists(sandbox_ + "/disk/ProgramFiles/Settings"));

  std::filesystem::create_directories(sandbox_);
  const int held = open(sandbox_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  r = devsim({"run", MODULE_PATH});
  close(held);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr(": the sandbox is in use by another run\n"));
}

// devsim reads the image loader's report (sim/image/report_lines.h) field by
// field: escapes undone, numbers range-checked, and anything else refused in
// one line. A stand-in image's run prints the report given.
TEST_F(Devsim, ReadsTheImageLoadersReportStrictly) {
  if (std::string(STEADYFLOW_BUILD) != "device") GTEST_SKIP() << "--image runs device modules";
  const std::string image = sandbox_ + "/image";
  std::filesystem::create_directory(image);
  writeHostFile(image + "/run", "#!/bin/sh\ncat \"$(dirname \"$0\")/report\"\n");
  std::filesystem::permissions(image + "/run", std::filesystem::perms::owner_all);
  auto run = [&](const std::string& report) {
    writeHostFile(image + "/report", report);
    return devsim({"run", MODULE_PATH, "--image", image}, sandbox_ + "/run");
  };
  const CommandResult good =
      run("init 0 1\nmain 0\nfirmware 1 TAP_Print 0 1 0 3 0 0 0 =a%0Ab%25\nevent 1 7 0 9\n"
          "dlopen 2 - 5 77\ndlsym 3 77 =_tapTask 0\nsystem 4 =echo%20hi 0\ncwd =/x%E9\nheap 2 96\n");
  EXPECT_EQ(good.status, 3) << good.err;  // no shell wrote the kernel setting
  for (const char* line :
       {"printed    \"a\\nb%\"\n", "event      TAP_EventHandler(0x1, 7, 0) returned 9\n",
        "command    echo hi (shell exit 0)\n", "cwd        /x\\xE9\n", "heap       2 blocks live, peak 96 bytes\n",
        "calls      1 firmware, 2 dynamic-linker (dlopen 1, dlsym 1, dlerror 0, dlclose 0)\n"})
    EXPECT_THAT(good.out, HasSubstr(line));
  for (const char* bad : {"bogus 1\n", "main\n", "main 0 0\n", "main 2147483648\n", "heap -1 5\n", "init 0 2\n",
                          "cwd x\n", "cwd =%4\n", "cwd =%g1\n", "\n", "firmware 1 TAP_Print 0 5 0\n",
                          "firmware 1 TAP_Print 0 1 0 3 0 0 0 -\n", "firmware 1 TAP_Print 0 1 0 9 0 0 0 -\n"}) {
    const CommandResult r = run(std::string("init 0 1\n") + bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_THAT(r.err, HasSubstr("gave a report devsim cannot read, at line 2")) << bad;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// devsim run and the image's loader read an event with one parser: whole
// numbers of 32 bits, nothing around them.
TEST(EventText, ReadsThreeWholeNumbersOf32BitsAndNothingElse) {
  const struct {
    const char* text;
    bool read;
    uint32_t code, param1, param2;
  } cases[] = {
      {"1:7:0", true, 1, 7, 0},
      {"0x20:010:0", true, 0x20, 8, 0},
      {"0xFFFFFFFF:4294967295:0XaB", true, 0xFFFFFFFF, 0xFFFFFFFF, 0xAB},
      {"4294967296:0:0", false},
      {"0:0x100000000:0", false},
      {"-1:0:0", false},
      {"+1:0:0", false},
      {" 1:0:0", false},
      {"1:2:3 ", false},
      {"08:1:2", false},
      {"0x:1:2", false},
      {"1::3", false},
      {"1:2", false},
      {"1:2:3:4", false},
      {"", false},
  };
  for (const auto& c : cases) {
    uint32_t event[3] = {};
    ASSERT_EQ(sim::parseEvent(c.text, event), c.read) << c.text;
    if (c.read) {
      EXPECT_EQ(event[0], c.code) << c.text;
      EXPECT_EQ(event[1], c.param1) << c.text;
      EXPECT_EQ(event[2], c.param2) << c.text;
    }
  }
}

// For any module the report names what the run did to the disk; the settings
// lines speak of this project's module's files, and only for it.
TEST_F(Devsim, ReportsWhatAnyModuleDidToTheDisk) {
  const std::string counter = TEST_MODULES "/Counter.tap";
  const struct {
    std::string module;
    std::vector<std::string> says;
  } cases[] = {
      {MODULE_PATH,
       {"settings   /ProgramFiles/Settings/Steadyflow/Steadyflow.ini created, 21 bytes",
        "disk       /ProgramFiles/Settings created, a folder\n",
        "disk       /ProgramFiles/Settings/Steadyflow/Steadyflow.ini created, 21 bytes\n"}},
      {MODULE_PATH,
       {"settings   /ProgramFiles/Settings/Steadyflow/Steadyflow.ini unchanged",
        "disk       nothing created, changed or deleted\n"}},
      {counter,
       {"disk       /ProgramFiles/Settings/Counter created, a folder\n",
        "disk       /ProgramFiles/Settings/Counter/Counter.ini created, 10 bytes\n"}},
      {counter, {"disk       /ProgramFiles/Settings/Counter/Counter.ini changed, 10 bytes (10 bytes before)\n"}},
  };
  for (const auto& c : cases) {
    if (c.module == counter) {  // a FIFO where our module's file lies is no file of the other's
      unlink((sandbox_ + "/disk/ProgramFiles/Steadyflow.ini").c_str());
      ASSERT_EQ(mkfifo((sandbox_ + "/disk/ProgramFiles/Steadyflow.ini").c_str(), 0600), 0);
    }
    const CommandResult r = devsim({"run", c.module});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& line : c.says) EXPECT_THAT(r.out, HasSubstr(line)) << c.module;
    if (c.module == counter) {
      EXPECT_THAT(r.out, Not(HasSubstr("\nsettings "))) << r.out;
    }
  }
}

TEST_F(Devsim, SaysItsVersion) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--version"}, {"run", "x.tap", "--version"}}) {
    const CommandResult r = devsim(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "devsim " STEADYFLOW_VERSION "\n");
  }
}

TEST_F(Devsim, RefusesBadCommandLines) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"run"}, {"run", "x.tap", "--bogus"}, {"run", "x.tap", "--event", "1:2"},
           {"run", "x.tap", "--terminals", "1,a"}, {"run", "a.tap", "b.tap"},
           {"run", "x.tap", "--event", "1:2:4294967296"}, {"run", "x.tap", "--chdir-success", "2147483648"},
           {"run", "x.tap", "--module", "m.tap"}, {"run", "x.tap", "--image", "img", "--no-shell"},
           {"run", "x.tap", "--bad\noption"}, {"check", "a.ini", "b.ini"}, {"check", "--terminals", "0"},
           {"run", "x.tap", "--vm", "v", "--no-shell"}, {"run", "x.tap", "--vm", "v", "--image", "i"},
           {"run", "x.tap", "--memory", "64"}, {"run", "x.tap", "--vm", "v", "--memory", "15"},
           {"run", "x.tap", "--trace=1"}, {"run", "x.tap", "--disk="}, {"run", "x.tap", "--bogus=1"},
           {"check", "--key", "a=b"}, {"check", "--key", std::string(79, 'k')}, {"check", "--file", "x.ini"},
           {"check", "--file", "/a/../x.ini"}, {"check", "--file", "/a/"}, {"check", "--default", "2147483648"},
           {"check", "--min", "5", "--max=4"}, {"check", "a.ini"} /* and the --sandbox appended */}) {
    const CommandResult r = devsim(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

}  // namespace
