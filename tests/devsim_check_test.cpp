// devsim check: one line says what the module will apply from a settings
// file and why; files it refuses to read get one line and exit 1.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::HasSubstr;
using testing::StartsWith;

class DevsimCheck : public testing::Test {
 protected:
  void SetUp() override {
    if (!sim::Session::current().confined()) GTEST_SKIP() << "devsim runs modules only confined";
    folder_ = temporaryFolder();
  }
  void TearDown() override { fs::remove_all(folder_); }
  CommandResult devsim(const std::vector<std::string>& args) {
    std::vector<std::string> argv = sim::Session::programCommand(DEVSIM_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, folder_);
  }
  void write(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(folder_ + "/" + path).parent_path());
    writeHostFile(folder_ + "/" + path, bytes);
  }
  std::string folder_;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST_F(DevsimCheck, ExplainsWhatTheModuleMakesOfAFile) {
  const struct {
    std::string bytes;
    const char* says;
  } cases[] = {
      {"MinimumKBFree=500\r\n", "f.ini: MinimumKBFree=500 will be applied"},
      {"minimumkbfree=700\n", "f.ini: MinimumKBFree=700 will be applied"},
      {"MinimumKBFree=99999\r\n", "\"MinimumKBFree=99999\" is above 50000; 50000 will be applied"},
      {"MinimumKBFree=50\r\n", "\"MinimumKBFree=50\" is below 100; 100 will be applied"},
      {"MinimumKBFree=99999999999\r\n", "reads as -1, below 100; 100 will be applied"},
      {"MinimumKBFree= 500\r\n", "\"MinimumKBFree= 500\": a blank after \"=\" is not a number; the default 10000"},
      {"MinimumKBFree=500 \r\n", "a trailing blank is not a number; the default 10000 will be applied"},
      {"MinimumKBFree=+500\r\n", "a plus sign is not a number; the default 10000"},
      {"MinimumKBFree=5k\r\n", "the letter \"k\" is not a number; the default 10000"},
      {"MinimumKBFree=\r\n", "the value is empty; the default 10000"},
      {"MinimumKBFree=-\r\n", "a lone \"-\" is not a number; the default 10000"},
      {"MinimumKBFree=5-0\r\n", "a \"-\" after the first character is not a number; the default 10000"},
      {"MinimumKBFree=12\r5\n", "\"MinimumKBFree=12\\r5\": a CR without LF inside the line is not a number"},
      // Only a CR LF pair or a lone line end limits the value to what INIGetInt examines.
      {"MinimumKBFree=00000000000000x\nOther=1\r", "the letter \"x\" is not a number; the default 10000"},
      {"MinimumKBFree=00000000000000x\r\n",
       "only the first 11 characters of the value are examined; it reads as 0, below 100"},
      {"#MinimumKBFree=500\r\nOther=1\r\n", "the \"#\" right before the key comments the entry out; the default 10000"},
      {"x;MinimumKBFree=500\r\n", "the \";\" right before the key comments the entry out"},
      {"#MinimumKBFree=500\r\nMinimumKBFree=700\r\n", "f.ini: MinimumKBFree=700 will be applied"},
      {"; MinimumKBFree=500\r\n",
       "the \";\" does not comment it out: only a \"#\" or \";\" right before the key does; "
       "500 will be applied"},
      {"XMinimumKBFree=5\r\n", "inside the longer key \"XMinimumKBFree\"; 5 is below 100; 100 will be applied"},
      {"MinimumKBFree = 500\r\n", "the key is not followed directly by \"=\", so it is no entry; the default 10000"},
      {"MinimumKBFree=500", "the last line has no line end; the module adds CR LF as it loads the file; 500 will"},
      {"MinimumKBFree=5\0"s
       "00\r\n",
       "offset 15; 5 is below 100; 100 will be applied"},
      {"Other=1\r\n\0MinimumKBFree=500\r\n"s,
       "the text ends at the zero byte at offset 9; \"MinimumKBFree=500\" "
       "after it is not read; the default 10000"},
      {"Other=1\r\n", "no MinimumKBFree entry; the default 10000 will be applied"},
  };
  for (const auto& c : cases) {
    write("f.ini", c.bytes);
    const CommandResult r = devsim({"check", "f.ini"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, StartsWith("check      f.ini: ")) << r.out;
    EXPECT_THAT(r.out, HasSubstr(c.says));
    EXPECT_EQ(lines(r.out).size(), 1u) << r.out;
  }
}

// The entry check says it reads is written as the file must hold it: copied
// into a file, it reads the same.
TEST_F(DevsimCheck, SaysTheEntryAsTheFileMustHoldIt) {
  write("f.ini", "minimumkbfree=700\n");
  const CommandResult said = devsim({"check", "f.ini"});
  ASSERT_THAT(said.out, testing::EndsWith(" will be applied\n")) << said.out;
  const size_t entry = said.out.find(": ") + 2;
  write("f.ini", said.out.substr(entry, said.out.find(' ', entry) - entry) + "\r\n");
  EXPECT_EQ(devsim({"check", "f.ini"}).out, "check      f.ini: MinimumKBFree=700 will be applied\n");
}

// Told another module's file, key, default and limits, check asks that
// module's own read, and says what its run then takes.
TEST_F(DevsimCheck, ExplainsAnotherModulesEntryWhenToldIt) {
  const std::vector<std::string> counter = {"--module",
                                            TEST_MODULES "/Counter.tap",
                                            "--file=/ProgramFiles/Settings/Counter/Counter.ini",
                                            "--key",
                                            "Starts",
                                            "--default",
                                            "0",
                                            "--min",
                                            "0",
                                            "--max=100"};
  const struct {
    std::string bytes;
    const char* says;
  } cases[] = {
      {"Starts=7\r\n", "f.ini: Starts=7 will be applied"},
      {"Starts=700\r\n", "f.ini: \"Starts=700\" is above 100; 100 will be applied"},
      {"starts= 7\r\n", "a blank after \"=\" is not a number; the default 0 will be applied"},
      {"MinimumKBFree=500\r\n", "f.ini: no Starts entry; the default 0 will be applied"},
  };
  for (const auto& c : cases) {
    write("f.ini", c.bytes);
    std::vector<std::string> args = {"check", "f.ini"};
    args.insert(args.end(), counter.begin(), counter.end());
    const CommandResult r = devsim(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(c.says));
    EXPECT_EQ(lines(r.out).size(), 1u) << r.out;
  }
  // Our module's file is not the other module's.
  write("sb/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini", "Starts=9\r\n");
  std::vector<std::string> args = {"check", "--sandbox", "sb"};
  args.insert(args.end(), counter.begin(), counter.end());
  EXPECT_EQ(devsim(args).out,
            "check      /ProgramFiles/Settings/Counter/Counter.ini: no such file on the disk; reading Starts, the "
            "module gets its default 0\n");
  EXPECT_THAT(devsim({"run", TEST_MODULES "/Counter.tap", "--sandbox", "sb"}).out,
              HasSubstr("printed    \"Counter: start 1\\n\"\n"));
}

// check never answers for a module it is not told enough of: it refuses in
// one line, as it does a module whose store it cannot ask.
TEST_F(DevsimCheck, RefusesWhatItCannotAnswerFor) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* why;
  } cases[] = {
      {{"--module", TEST_MODULES "/Counter.tap"},
       2,
       "Counter.tap: \"Counter V1\" (ID 0x2A5F0002) is not this project's module, SteadyflowTest V1.0 (ID "
       "0x2A5F0001); devsim check speaks for it when told --file, --key, --default, --min and --max"},
      {{"--module", TEST_MODULES "/Counter.tap", "--key", "Starts", "--max", "9"},
       2,
       "when told --file, --default and --min\n"},
      {{"--min", "60000"}, 2, "devsim: the lowest value 60000 is above the highest 50000\n"},
      {{"--module", TEST_MODULES "/misbehaving.tap", "--file=/ProgramFiles/x.ini", "--key=K", "--default=0", "--min=0",
        "--max=1"},
       1,
       "misbehaving.tap: the module exports no INILocateFile; it cannot be asked\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"check", "--sandbox", "sb"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CommandResult r = devsim(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.why));
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// Whichever file the module's search takes, check names it and the run
// applies what check said.
TEST_F(DevsimCheck, NamesTheFileTheModuleTakesAndAgreesWithTheRun) {
  const struct {
    std::vector<std::pair<std::string, std::string>> files;
    const char* says;
    const char* passedOver;
    const char* command;
  } cases[] = {
      {{},
       "no settings file on the disk: the module will create /ProgramFiles/Settings/Steadyflow/Steadyflow.ini",
       nullptr,
       "echo 10000 >"},
      {{{"ProgramFiles/Steadyflow.ini", "MinimumKBFree=600\r\n"},
        {"ProgramFiles/Settings/Steadyflow.ini", "MinimumKBFree=700\r\n"}},
       "/ProgramFiles/Settings/Steadyflow.ini: MinimumKBFree=700 will",
       "not read: /ProgramFiles/Steadyflow.ini (",
       "echo 700 >"},
      {{{"ProgramFiles/Steadyflow.ini", "MinimumKBFree=600\r\n"},
        {"ProgramFiles/Settings/Steadyflow/Steadyflow.ini", "MinimumKBFree=800\r\n"}},
       "/ProgramFiles/Settings/Steadyflow/Steadyflow.ini: MinimumKBFree=800 will",
       "not read: /ProgramFiles/Steadyflow.ini (",
       "echo 800 >"},
  };
  for (const auto& c : cases) {
    fs::remove_all(folder_ + "/sb");
    for (const auto& [path, bytes] : c.files) write("sb/disk/" + path, bytes);
    const CommandResult r = devsim({"check", "--sandbox", "sb"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto said = lines(r.out);
    ASSERT_EQ(said.size(), c.passedOver ? 2u : 1u) << r.out;
    EXPECT_THAT(said[0], HasSubstr(c.says));
    if (c.passedOver) {
      EXPECT_THAT(said[1], HasSubstr(c.passedOver));
    }
    if (c.files.empty()) {
      EXPECT_FALSE(fs::exists(folder_ + "/sb/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini"))
          << "check wrote it";
    }
    EXPECT_THAT(devsim({"run", MODULE_PATH, "--sandbox", "sb"}).out, HasSubstr(c.command));
  }
}

// A settings file that is a FIFO, a link (here to a device) or too long is
// refused with one line, by check and by the run's report, without blocking.
TEST_F(DevsimCheck, RefusesFilesThatAreNoRegularFiles) {
  const std::string onDisk = "sb/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini";
  const struct {
    const char* kind;
    std::vector<std::string> args;
    const char* why;
  } cases[] = {
      {"fifo", {"check", "f.ini"}, "devsim: f.ini: a FIFO, not a regular file; not read"},
      {"link", {"check", "f.ini"}, "devsim: f.ini: a link; links are not followed"},
      {"long",
       {"check", "f.ini"},
       "devsim: f.ini: 16777217 bytes; settings files of more than 16777216 bytes are refused"},
      {"none", {"check", "f.ini"}, "devsim: f.ini: No such file or directory"},
      {"fifo", {"check", "--sandbox", "sb"}, "Steadyflow/Steadyflow.ini: a FIFO, not a regular file; not read"},
      {"link", {"check", "--sandbox", "sb"}, "Steadyflow/Steadyflow.ini: a link; links are not followed"},
      {"fifo", {"run", MODULE_PATH, "--sandbox", "sb"}, "Steadyflow/Steadyflow.ini: a FIFO, not a regular file"},
      {"link", {"run", MODULE_PATH, "--sandbox", "sb"}, "Steadyflow/Steadyflow.ini: a link; links are not followed"},
  };
  for (const auto& c : cases) {
    fs::remove_all(folder_ + "/sb");
    fs::remove(folder_ + "/f.ini");
    const std::string path = folder_ + "/" + (c.args[1] == "f.ini" ? "f.ini" : onDisk);
    fs::create_directories(fs::path(path).parent_path());
    if (c.kind == "fifo"s) {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    }
    if (c.kind == "link"s) fs::create_symlink("/dev/zero", path);
    if (c.kind == "long"s) {
      std::ofstream(path).close();
      fs::resize_file(path, (16u << 20) + 1);
    }
    const CommandResult r = devsim(c.args);
    EXPECT_EQ(r.status, 1) << c.kind << " " << c.args[0];
    EXPECT_THAT(r.err, HasSubstr(c.why));
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
  }
}

}  // namespace
