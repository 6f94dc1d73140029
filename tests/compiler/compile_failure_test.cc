// polc end to end when the output cannot be written: the exact log, the exit
// status, and what is (not) left on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "tests/compiler/compiler_test_support.h"
#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

const char kPolicy[] = R"({
  "declarations": {"type": ["init_t", "file_t"], "attr": ["domain"]},
  "rules": [{"subject": "init_t",
             "teac": [{"object": "file_t", "class": "file", "operation": ["read"]}]}]
})";

// The compiler's lines from "Generating policy binary" on.
std::vector<std::string> LinesFromGenerating(const RunResult& run) {
  const std::vector<std::string> lines = CompilerLines(run);
  const auto first = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("[Generating policy binary]") != std::string::npos;
  });
  return {first, lines.end()};
}

// The lines a run that fails after "Generating policy binary" for `output`
// must end with: that line, then `failures` as ERROR lines.
std::vector<std::string> FailureAfterGenerating(const std::string& output,
                                                const std::vector<std::string>& failures) {
  std::vector<std::string> lines = {
      "[INFO][VaroCompiler][Generating policy binary][path=" + output + "]"};
  for (const std::string& failure : failures) {
    lines.push_back("[ERROR][VaroCompiler]" + failure);
  }
  return lines;
}

const char kWriteFailed[] = "[Write buffer to policy binary failed]";
const char kGenerateFailed[] = "[Generate policy binary failed]";

// An output that cannot be opened, and one that takes no bytes: nothing is
// left beside the source, and no map is written next to the device.
TEST(CompileFailure, OutputThatCannotBeOpenedOrWritten) {
  for (const bool device : {false, true}) {
    TempDir dir;
    const std::string output = device ? "/dev/full" : dir.Path("missing/policy.bin");
    const RunResult run = RunPolc({"-c", "-m", "-o", output, dir.Write("p.json", kPolicy)});
    EXPECT_EQ(run.exitStatus, device ? 234 : 255);
    EXPECT_EQ(LinesFromGenerating(run),
              FailureAfterGenerating(
                  output,
                  {device ? kWriteFailed : "[Open policy binary path failed][path=" + output + "]",
                   kGenerateFailed}));
    EXPECT_EQ(DirectoryEntries(dir.path()), (std::vector<std::string>{"p.json"}));
  }
  EXPECT_FALSE(FileExists("/dev/policy.map"));
}

TEST(CompileFailure, ShortWriteKeepsTheExistingPolicy) {
  TempDir dir;
  // Large enough that the new image cannot fit under the file size limit,
  // while the log (captured in a file too) stays well below it.
  std::string types;
  for (int i = 0; i < 400; ++i)
    types += (i == 0 ? "\"" : ", \"") + std::string(20, 'a') + std::to_string(i) + "\"";
  const std::string source = dir.Write("p.json", "{\"declarations\": {\"type\": [" + types + "]}}");
  const std::string old(3000, 'o');
  const std::string output = dir.Write("out/policy.bin", old);
  RunOptions limited;
  limited.fileSizeLimit = 8192;
  const RunResult run = RunPolc({"-c", "-o", output, source}, limited);
  EXPECT_EQ(run.exitStatus, 234);
  EXPECT_EQ(LinesFromGenerating(run),
            FailureAfterGenerating(output, {kWriteFailed, kGenerateFailed}));
  EXPECT_EQ(ReadFile(output), old);
  EXPECT_EQ(DirectoryEntries(dir.Path("out")), (std::vector<std::string>{"policy.bin"}));
}

TEST(CompileFailure, MapThatCannotBeOpenedAfterAGoodBinary) {
  TempDir dir;
  std::filesystem::create_directories(dir.Path("out/policy.map"));
  const std::string output = dir.Path("out/policy.bin");
  const RunResult run = RunPolc({"-c", "-m", "-o", output, dir.Write("p.json", kPolicy)});
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_EQ(LinesFromGenerating(run),
            (std::vector<std::string>{
                "[INFO][VaroCompiler][Generating policy binary][path=" + output + "]",
                "[INFO][VaroCompiler][Generating policy map file][path=" +
                    dir.Path("out/policy.map") + "]",
                "[ERROR][VaroCompiler][Generate policy map failed]"}));
  EXPECT_EQ(ReadBack(ReadFile(output)).symbols.size(), 3u);
  EXPECT_EQ(DirectoryEntries(dir.Path("out")),
            (std::vector<std::string>{"policy.bin", "policy.map"}));
}

// With -m, an output named like its map, a second name of the existing map
// file, or a link to where the map will be is refused before anything is
// written; without -m nothing is in the way.
TEST(CompileFailure, OutputThatIsOrReachesTheMapIsRefusedWithMap) {
  TempDir dir;
  const std::string source = dir.Write("p.json", kPolicy);
  std::filesystem::create_directories(dir.Path("out"));
  const std::string named = dir.Path("out/policy.map");
  const std::string hardLink = dir.Write("hard/policy.bin", "old");
  ASSERT_EQ(link(hardLink.c_str(), dir.Path("hard/policy.map").c_str()), 0);
  const std::string symbolicLink = dir.Path("soft/policy.bin");
  std::filesystem::create_directories(dir.Path("soft"));
  ASSERT_EQ(symlink("policy.map", symbolicLink.c_str()), 0);
  for (const std::string& output : {named, hardLink, symbolicLink}) {
    const RunResult run = RunPolc({"-c", "-m", "-o", output, source});
    EXPECT_EQ(run.exitStatus, 255) << output;
    EXPECT_EQ(CompilerLines(run),
              (std::vector<std::string>{"[ERROR][VaroCompiler][The policy map would overwrite the "
                                        "policy binary][path=" +
                                        output + "]"}));
  }
  EXPECT_TRUE(DirectoryEntries(dir.Path("out")).empty());
  EXPECT_EQ(ReadFile(hardLink), "old");
  EXPECT_FALSE(FileExists(dir.Path("soft/policy.map")));

  EXPECT_EQ(RunPolc({"-c", "-o", named, source}).exitStatus, 0);
  EXPECT_EQ(ReadBack(ReadFile(named)).rules.size(), 1u);
}

TEST(PolicyMapPath, SitsBesideTheOutput) {
  const std::pair<std::string, std::string> cases[] = {
      {"out/policy.bin", "out/policy.map"}, {"policy.bin", "policy.map"},
      {"/policy.bin", "/policy.map"},       {"a/b/", "a/b/policy.map"},
      {"./x.bin", "./policy.map"},          {"/srv/varo/policy", "/srv/varo/policy.map"},
  };
  for (const auto& [output, map] : cases) {
    EXPECT_EQ(PolicyMapPath(output), map) << output;
  }
}

}  // namespace
}  // namespace polc_test
