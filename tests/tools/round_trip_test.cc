// polc(polcdump --json(B)) == B for binaries compiled from sample, example
// and generated policies.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "reader/class_table.h"
#include "tests/support/polc_test.h"

namespace {

using polc_test::ReadFile;
using polc_test::RunPolc;
using polc_test::RunProgram;
using polc_test::RunResult;
using polc_test::TempDir;

// Compiles `sources` to `binary`; the test fails when polc does.
void Compile(const std::vector<std::string>& sources, const std::string& binary) {
  std::vector<std::string> args = {"-c", "-o", binary};
  args.insert(args.end(), sources.begin(), sources.end());
  const RunResult run = RunPolc(args);
  ASSERT_EQ(run.exitStatus, 0) << run.out;
}

// Compiles `sources`, dumps the binary as a source, compiles that and
// expects the same bytes and the same listing.
void ExpectRoundTrip(const std::vector<std::string>& sources, const std::string& what) {
  SCOPED_TRACE(what);
  const TempDir dir;
  const std::string first = dir.Path("first.bin");
  const std::string second = dir.Path("second.bin");
  ASSERT_NO_FATAL_FAILURE(Compile(sources, first));
  const RunResult json = RunProgram(POLCDUMP_BINARY, {"--json", first});
  ASSERT_EQ(json.exitStatus, 0) << json.err;
  ASSERT_NO_FATAL_FAILURE(Compile({dir.Write("dumped.json", json.out)}, second));
  EXPECT_TRUE(ReadFile(first) == ReadFile(second)) << json.out;
  EXPECT_EQ(RunProgram(POLCDUMP_BINARY, {first}).out, RunProgram(POLCDUMP_BINARY, {second}).out);
}

std::vector<std::string> JsonFilesIn(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(RoundTrip, SamplesExamplesAndTheEmptyPolicy) {
  for (const std::string& file : JsonFilesIn(POLC_SOURCE_DIR "/tests/tools/schema/good")) {
    ExpectRoundTrip({file}, file);
  }
  ExpectRoundTrip(JsonFilesIn(POLC_SOURCE_DIR "/examples"), "examples");
  const TempDir dir;
  ExpectRoundTrip({dir.Write("empty.json", R"({"rules": []})")}, "empty");
}

// A random but valid single-file policy: names of mixed case, length and
// characters (some longer than a typeattr key may be), attributes sorting
// before and after the types, every kind of labeling and rule.
class PolicyGenerator {
 public:
  explicit PolicyGenerator(unsigned seed) : random_(seed) {}

  std::string Policy(size_t typeCount, size_t attrCount, size_t ruleCount) {
    types_ = Names(typeCount, "t");
    attrs_ = Names(attrCount, "a");
    for (const std::string& attr : attrs_) types_.erase(attr);
    all_.assign(types_.begin(), types_.end());
    all_.insert(all_.end(), attrs_.begin(), attrs_.end());
    return "{\"declarations\": {\"type\": " + List(types_) + ", \"attr\": " + List(attrs_) +
           TypeAttr() + ", \"labeling\": {" + Labeling() + "}}, \"rules\": [" + Rules(ruleCount) +
           "]}";
  }

 private:
  size_t Below(size_t n) { return n == 0 ? 0 : random_() % n; }
  bool OneIn(size_t n) { return Below(n) == 0; }
  const std::string& AnyName() { return all_[Below(all_.size())]; }
  const std::string& AnyAttr() {
    auto it = attrs_.begin();
    std::advance(it, static_cast<long>(Below(attrs_.size())));
    return *it;
  }

  std::set<std::string> Names(size_t count, const std::string& stem) {
    static const std::string kCharacters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./";
    std::set<std::string> names;
    while (names.size() < count) {
      std::string name = OneIn(3) ? "" : stem;
      const size_t length = OneIn(8) ? 48 + Below(20) : 1 + Below(12);
      for (size_t i = 0; i < length; ++i) name += kCharacters[Below(kCharacters.size())];
      names.insert(name);
    }
    return names;
  }

  static std::string Quote(const std::string& text) { return "\"" + text + "\""; }

  template <typename Names>
  static std::string List(const Names& names) {
    std::string text = "[";
    for (const std::string& name : names) text += (text.size() > 1 ? ", " : "") + Quote(name);
    return text + "]";
  }

  std::string TypeAttr() {
    std::string text;
    for (const std::string& name : all_) {
      if (attrs_.empty() || name.size() > 47 || OneIn(3)) continue;
      std::set<std::string> members;
      for (size_t n = 1 + Below(3); n > 0; --n) members.insert(AnyAttr());
      text += (text.empty() ? "" : ", ") + Quote(name) + ": " + List(members);
    }
    return text.empty() ? "" : ", \"typeattr\": {" + text + "}";
  }

  std::string Labeling() {
    static const char* const kSids[] = {"kernel", "varo", "unlabeled", "proc"};
    static const char* const kProtocols[] = {"tcp", "udp", "icmp"};
    std::string text = "\"file\": [";
    for (size_t i = 0; i < 1 + Below(20); ++i) {
      text += (i == 0 ? "" : ", ") + std::string("{\"path\": \"") + (OneIn(4) ? "proc:" : "") +
              "/p" + std::to_string(i) + "/" + std::to_string(Below(1000)) +
              "\", \"context\": " + Quote(AnyName()) + "}";
    }
    text += "], \"reserved_sid\": [";
    for (size_t i = 0, first = Below(4); i < 1 + Below(4 - first); ++i) {
      text += (i == 0 ? "" : ", ") + std::string("{\"sid\": \"") + kSids[first + i] +
              "\", \"context\": " + Quote(AnyName()) + "}";
    }
    text += "], \"netif\": [";
    for (size_t i = 0; i < Below(5); ++i) {
      text += (i == 0 ? "" : ", ") + std::string("{\"name\": \"if") + std::to_string(i) +
              "\", \"context\": " + Quote(AnyName()) + "}";
    }
    text += "], \"packet\": [";
    for (size_t i = 0; i < Below(6); ++i) {
      const size_t port = Below(60000);
      text += (i == 0 ? "" : ", ") + std::string("{\"prot\": \"") + kProtocols[Below(3)] +
              "\", \"source\": \"10." + std::to_string(i) + ".0.0/" + std::to_string(Below(33)) +
              "\", \"destination\": \"192.168." + std::to_string(Below(256)) + "." +
              std::to_string(Below(255)) + "/32\", \"sport\": \"" + std::to_string(port) + "-" +
              std::to_string(port + Below(5000)) + "\", \"dport\": \"" +
              std::to_string(Below(65536)) + "\", \"context\": " + Quote(AnyName()) + "}";
    }
    return text + "]";
  }

  std::string Operations(uint16_t classIndex) {
    std::vector<std::string> names;
    for (unsigned position = 0; position < 32; ++position) {
      const char* name = GetOperationName(classIndex, uint32_t{1} << position);
      if (name != nullptr && OneIn(3)) names.push_back(name);
    }
    return List(names);
  }

  std::string Rules(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
      const auto classIndex = static_cast<uint16_t>(1 + Below(30));
      const std::string subject = AnyName();
      const std::string object = AnyName();
      const std::string entry = "{\"object\": " + Quote(object) +
                                ", \"class\": " + Quote(GetClassName(classIndex)) + ", ";
      // A transition key may appear once only.
      const bool grant =
          !OneIn(4) || !transitionKeys_.insert(subject + " " + object + " " + entry).second;
      text +=
          (i == 0 ? "" : ", ") + std::string("{\"subject\": ") + Quote(subject) +
          (grant ? ", \"teac\": [" + entry + "\"operation\": " + Operations(classIndex) + "}]"
                 : ", \"type_transition\": [" + entry + "\"target\": " + Quote(AnyName()) + "}]") +
          "}";
    }
    return text;
  }

  std::mt19937 random_;
  std::set<std::string> types_;
  std::set<std::string> attrs_;
  std::vector<std::string> all_;  // types in name order, then attributes in name order
  std::set<std::string> transitionKeys_;
};

TEST(RoundTrip, GeneratedPolicies) {
  const struct {
    size_t types, attrs, rules;
  } kSizes[] = {{1, 0, 0}, {3, 1, 5}, {10, 0, 30}, {40, 6, 200}, {200, 20, 1500}, {300, 50, 3000}};
  unsigned seed = 1;
  for (const auto& size : kSizes) {
    const TempDir dir;
    const std::string source = PolicyGenerator(seed++).Policy(size.types, size.attrs, size.rules);
    ExpectRoundTrip({dir.Write("generated.json", source)}, "seed " + std::to_string(seed - 1));
  }
}

}  // namespace
