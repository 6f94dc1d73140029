// Loading source files ahead of the reader: every file comes back in list
// order with its own outcome, an early stop releases what was loaded, and
// the reader's log and result do not show that later files were loaded.
#include "reader/source_loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

using Status = LoadedSource::Status;

struct SourceCase {
  const char* name;
  const char* content;  // null: no such file
  Status status;
};

// Every kind of outcome, several times over, so that files are loaded while
// earlier ones wait to be taken.
const SourceCase kSources[] = {
    {"a.json", R"({"rules": []})", Status::kLoaded},
    {"missing.json", nullptr, Status::kReadFailed},
    {"bad.json", "{", Status::kInvalidJson},
    {"nul.json", "{\"rules\": [\"\\u0000\"]}", Status::kInvalidJson},
    {"b.json", R"({"declarations": {"type": ["t"]}})", Status::kLoaded},
    {"c.json", "[1, 2, 3]", Status::kLoaded},
    {"empty.json", "", Status::kInvalidJson},
};

std::vector<std::string> WriteSources(const TempDir& dir, int rounds) {
  std::vector<std::string> paths;
  for (int round = 0; round < rounds; ++round) {
    for (const SourceCase& source : kSources) {
      const std::string name = std::to_string(round) + source.name;
      paths.push_back(source.content != nullptr ? dir.Write(name, source.content) : dir.Path(name));
    }
  }
  return paths;
}

TEST(SourceLookahead, HandsOutEveryFileInListOrderWithItsOutcome) {
  TempDir dir;
  const std::vector<std::string> paths = WriteSources(dir, 5);
  SourceLookahead sources(paths);
  for (size_t i = 0; i < paths.size(); ++i) {
    const SourceCase& expected = kSources[i % std::size(kSources)];
    LoadedSource source = sources.Next();
    EXPECT_EQ(source.status, expected.status) << paths[i];
    EXPECT_EQ(source.tree != nullptr, expected.status == Status::kLoaded) << paths[i];
    if (source.tree != nullptr) {
      // The file's own document, not a neighbour's, and its own rules.
      EXPECT_EQ(JsonGetKind(source.tree.get()),
                expected.content[0] == '[' ? JSON_ARRAY : JSON_OBJECT)
          << paths[i];
      // A digest comes with a file the loader thread loaded, not with one
      // this thread loaded while waiting.
      const bool hasRules = std::string_view(expected.content).find("rules") != std::string::npos;
      JsonValue* first = nullptr;
      if (source.rules.valid() && JsonGetFirstChild(source.tree.get(), &first) == JSON_OK) {
        EXPECT_TRUE(hasRules) << paths[i];
        EXPECT_EQ(source.rules.get().section, first) << paths[i];
      }
    }
  }
}

TEST(SourceLookahead, StoppingEarlyReleasesWhatWasLoaded) {
  // The sanitizer build checks that nothing leaks and that the loader is
  // joined before its list goes away.
  TempDir dir;
  const std::vector<std::string> paths = WriteSources(dir, 20);
  for (size_t taken : {size_t{0}, size_t{1}, size_t{3}}) {
    SourceLookahead sources(paths);
    for (size_t i = 0; i < taken; ++i) sources.Next();
  }
}

TEST(SourceLookahead, ReaderStopsAtTheFailingFileAndNamesNoLaterOne) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".json";
    // The fourth file is not JSON; the ones after it are, and are loaded
    // while the reader works, but must not show, nor must the failure that
    // digesting their rules met.
    const std::string type = R"({"declarations": {"type": ["t)" + std::to_string(i) + R"("]})";
    paths.push_back(
        dir.Write(name, i == 3 ? "{" : type + (i > 3 ? R"(, "rules": [{"subject": 7}]})" : "}")));
  }
  std::vector<std::string> args = {"-c", "-o", dir.Path("policy.bin")};
  args.insert(args.end(), paths.begin(), paths.end());
  const RunResult run = RunPolc(args);
  EXPECT_EQ(run.exitStatus, 255);
  const std::string log = StripTimestamps(run.out);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(log.find(paths[static_cast<size_t>(i)] + "]") != std::string::npos, i <= 3) << i;
  }
  EXPECT_NE(log.find("[ERROR][JsonParser][Parse json file failed][file=" + paths[3] + "]"),
            std::string::npos);
  EXPECT_EQ(log.find("subject"), std::string::npos);
  EXPECT_FALSE(FileExists(dir.Path("policy.bin")));
}

}  // namespace
}  // namespace polc_test
