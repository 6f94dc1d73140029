// Input and output faults end to end: inputs that are not regular files or
// that disappear before they are read, and a map file that cannot be written
// whole. Each run fails with its messages and leaves no partial file. (A
// directory as input, a missing output directory, a full device and a file
// size limit for the binary, and a map path taken by a directory are covered
// with the reader's and the compiler's own tests.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/command_parser.h"
#include "reader/json_parser.h"
#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

const char kPolicy[] = R"({"declarations": {"type": ["a_t"]}})";

std::vector<std::string> ReadFailureLines(const std::string& path) {
  return {"[INFO][JsonParser][Parsing json file][file=" + path + "]",
          "[ERROR][JsonParser][Read file to json string failed][file=" + path + "]",
          "[ERROR][JsonParser][Parse json file failed][file=" + path + "]"};
}

// The log lines after the command line's.
std::vector<std::string> LinesAfterCommandLine(const std::string& out) {
  std::vector<std::string> lines = Lines(StripTimestamps(out));
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

TEST(InputFaults, NonRegularInputIsRefusedWithoutWaiting) {
  TempDir dir;
  const std::string fifo = dir.Path("policy.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // No one ever opens the FIFO for writing: polc must not wait for a writer.
  for (const std::string& input : {fifo, std::string("/dev/null")}) {
    const RunResult run = RunPolc({"-c", "-m", "-o", dir.Path("out/policy.bin"), input});
    EXPECT_EQ(run.exitStatus, 255) << input;
    EXPECT_EQ(LinesAfterCommandLine(run.out), ReadFailureLines(input));
  }
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"policy.fifo"});
}

TEST(InputFaults, FileThatVanishesAfterTheCommandLine) {
  TempDir dir;
  std::vector<std::string> argvText = {"polc", "-c", "-o", dir.Path("policy.bin"),
                                       dir.Write("p.json", kPolicy)};
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  CommandOptions options;
  CaptureLog([&] {
    ASSERT_EQ(CommandParser::ParseCommandLine(options, static_cast<int>(argv.size()), argv.data()),
              0);
  });
  ASSERT_EQ(options.inputPaths.size(), 1u);
  const std::string input = options.inputPaths[0];
  ASSERT_EQ(unlink(input.c_str()), 0);

  JsonParser reader;
  int status = 0;
  const std::string log = CaptureLog([&] { status = reader.ParseJsonFiles(options.inputPaths); });
  EXPECT_EQ(status, -1);
  EXPECT_EQ(Lines(log), ReadFailureLines(input));
}

// A policy whose map is several times the size of its binary: the map names
// all 17 operations of every grant rule, the binary holds them as one mask.
std::string PolicyWithALargeMap() {
  std::string types;
  std::string rules;
  const char operations[] =
      R"("create", "getattr", "setattr", "open", "read", "write", "rename", "relabelfrom",
         "relabelto", "link", "lock", "execute", "ioctl", "map", "unlink", "entrypoint",
         "mounton")";
  for (int i = 0; i < 100; ++i) {
    const std::string name = "\"type" + std::to_string(i) + "_t\"";
    types += (i == 0 ? "" : ", ") + name;
    rules += std::string(i == 0 ? "" : ", ") + R"({"subject": )" + name +
             R"(, "teac": [{"object": )" + name + R"(, "class": "file", "operation": [)" +
             operations + "]}]}";
  }
  return R"({"declarations": {"type": [)" + types + R"(]}, "rules": [)" + rules + "]}";
}

// A map that cannot be written whole leaves the binary complete and no map
// file behind, or the former one as it was.
TEST(OutputFaults, MapThatCannotBeWrittenWhole) {
  struct Case {
    const char* name;
    long fileSizeLimit;  // 0: none
  };
  for (const Case& row : {Case{"map on a full device", 0}, Case{"map past the size limit", 8192}}) {
    TempDir dir;
    const std::string source = dir.Write("p.json", PolicyWithALargeMap());
    const std::string output = dir.Path("out/policy.bin");
    const std::string map = dir.Path("out/policy.map");
    const std::string reference = dir.Path("reference/policy.bin");
    std::filesystem::create_directories(dir.Path("reference"));
    ASSERT_EQ(RunPolc({"-c", "-o", reference, source}).exitStatus, 0);
    if (row.fileSizeLimit == 0) {
      std::filesystem::create_directories(dir.Path("out"));
      ASSERT_EQ(symlink("/dev/full", map.c_str()), 0);
    } else {
      dir.Write("out/policy.map", "old map\n");
    }
    RunOptions options;
    options.fileSizeLimit = row.fileSizeLimit;
    const RunResult run = RunPolc({"-c", "-m", "-o", output, source}, options);
    EXPECT_EQ(run.exitStatus, 255) << row.name;
    const std::vector<std::string> lines = Lines(StripTimestamps(run.out));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{
                  "[INFO][VaroCompiler][Generating policy map file][path=" + map + "]",
                  "[ERROR][VaroCompiler][Generate policy map failed]"}))
        << row.name;
    EXPECT_EQ(ReadFile(output), ReadFile(reference)) << row.name;
    EXPECT_EQ(DirectoryEntries(dir.Path("out")),
              (std::vector<std::string>{"policy.bin", "policy.map"}))
        << row.name;
    if (row.fileSizeLimit != 0) {
      EXPECT_EQ(ReadFile(map), "old map\n");
    }
  }
}

}  // namespace
}  // namespace polc_test
