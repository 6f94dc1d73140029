// Input and output faults end to end: inputs that are not regular files or
// that disappear before they are read, and a map file that cannot be written
// whole. Each run fails with its messages and leaves no partial file. (A
// missing output directory, a full device and a file size limit for the
// binary, and a map path taken by a directory are covered with the
// compiler's own tests.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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

// Inputs that are no regular file, or one byte above the size limit of a
// source file (sparse, so it takes no room).
TEST(InputFaults, UnreadableInputs) {
  TempDir dir;
  const std::string fifo = dir.Path("policy.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  dir.Write("directory.json/inside", "");
  const std::string huge = dir.Write("huge.json", "");
  ASSERT_EQ(truncate(huge.c_str(), 0xFFFFFFFF), 0);
  // No one ever opens the FIFO for writing: polc must not wait for a writer.
  for (const std::string& input :
       {fifo, std::string("/dev/null"), dir.Path("directory.json"), huge}) {
    const RunResult run = RunPolc({"-c", "-m", "-o", dir.Path("out/policy.bin"), input});
    EXPECT_EQ(run.exitStatus, 255) << input;
    std::vector<std::string> expected = ReadFailureLines(input);
    expected.insert(expected.begin(), "[INFO][CommandParser][Parsing command line][argc=6]");
    EXPECT_EQ(Lines(StripTimestamps(run.out)), expected);
  }
  EXPECT_EQ(DirectoryEntries(dir.path()),
            (std::vector<std::string>{"directory.json", "huge.json", "policy.fifo"}));
}

// A file the command line accepted that is gone when the reader gets to it.
TEST(InputFaults, FileThatVanishesAfterTheCommandLine) {
  TempDir dir;
  const std::string input = dir.Write("p.json", kPolicy);
  ASSERT_EQ(unlink(input.c_str()), 0);
  JsonParser reader;
  int status = 0;
  const std::string log = CaptureLog([&] { status = reader.ParseJsonFiles({input}); });
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
  // 0: the map on a full device; else past the file size limit.
  for (const long fileSizeLimit : {0L, 8192L}) {
    SCOPED_TRACE(fileSizeLimit);
    TempDir dir;
    const std::string source = dir.Write("p.json", PolicyWithALargeMap());
    const std::string output = dir.Path("out/policy.bin");
    const std::string map = dir.Path("out/policy.map");
    const std::string reference = dir.Path("reference/policy.bin");
    std::filesystem::create_directories(dir.Path("reference"));
    ASSERT_EQ(RunPolc({"-c", "-o", reference, source}).exitStatus, 0);
    if (fileSizeLimit == 0) {
      std::filesystem::create_directories(dir.Path("out"));
      ASSERT_EQ(symlink("/dev/full", map.c_str()), 0);
    } else {
      dir.Write("out/policy.map", "old map\n");
    }
    RunOptions options;
    options.fileSizeLimit = fileSizeLimit;
    const RunResult run = RunPolc({"-c", "-m", "-o", output, source}, options);
    EXPECT_EQ(run.exitStatus, 255);
    const std::vector<std::string> lines = Lines(StripTimestamps(run.out));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{
                  "[INFO][VaroCompiler][Generating policy map file][path=" + map + "]",
                  "[ERROR][VaroCompiler][Generate policy map failed]"}));
    EXPECT_EQ(ReadFile(output), ReadFile(reference));
    EXPECT_EQ(DirectoryEntries(dir.Path("out")),
              (std::vector<std::string>{"policy.bin", "policy.map"}));
    if (fileSizeLimit != 0) {
      EXPECT_EQ(ReadFile(map), "old map\n");
    }
  }
}

}  // namespace
}  // namespace polc_test
