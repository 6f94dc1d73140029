// The fast parse takes every image polc writes and reads whatever it takes,
// damaged or not, as the database's reader does, whose verdict is final.
#include "tools/image/policy_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "bench/policy_generator.h"
#include "ruledb/policy_binary.h"
#include "tests/support/polc_test.h"

namespace {

using namespace std::string_view_literals;

std::vector<uint8_t> Compiled(const polc_test::TempDir& dir) {
  EXPECT_EQ(polc_test::RunShell("polc -c -o p.bin src/*.json", dir.path()).status, 0);
  const std::string text = polc_test::ReadFile(dir.Path("p.bin"));
  return {text.begin(), text.end()};
}

// Whether the fast parse took `bytes`.
bool ExpectSameReading(const std::vector<uint8_t>& bytes) {
  PolicyImage reference;
  const std::string error = ReadPolicyImageByDatabase(bytes, reference, RewriteCheck::YES);
  PolicyImage flat;
  const bool readFlat = ReadPolicyImageFlat(bytes, flat);
  // The fast parse takes every image that reads and writes back alike, and
  // only those but for the version, which the writer always sets.
  EXPECT_EQ(readFlat && flat.version == POLICY_VERSION,
            error.empty() && *reference.rewritesIdentically);
  if (readFlat) {
    flat.rewritesIdentically = reference.rewritesIdentically;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(flat == reference);
  }
  PolicyImage image;
  EXPECT_EQ(ReadPolicyImage(bytes, image, RewriteCheck::YES), error);
  EXPECT_TRUE(!error.empty() || image == reference);
  return readFlat;
}

TEST(PolicyImage, FastParseTakesGeneratedPolicies) {
  const polc_bench::PolicyShape shapes[] = {{"files", 7, 60, 9, 40, 600, 50, 80, 5, 12},
                                            {"attributes", 3, 30, 200, 60, 3000, 100, 40, 2, 3}};
  for (const polc_bench::PolicyShape& shape : shapes) {
    const polc_test::TempDir dir;
    for (uint32_t file = 0; file < shape.files; ++file) {
      dir.Write("src/" + polc_bench::PolicyFileName(file), GeneratePolicyFile(shape, file));
    }
    EXPECT_TRUE(ExpectSameReading(Compiled(dir))) << shape.name;
  }
}

// `bytes` with the first `from` in them replaced by `to`.
std::vector<uint8_t> Spliced(std::vector<uint8_t> bytes, std::string_view from,
                             std::string_view to) {
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  EXPECT_NE(at, bytes.end()) << from;
  if (at != bytes.end()) bytes.insert(bytes.erase(at, at + from.size()), to.begin(), to.end());
  return bytes;
}

TEST(PolicyImage, DamagedImagesGetTheReadersVerdict) {
  const polc_test::TempDir dir;
  dir.Write("src/p.json", R"({"declarations": {"type": ["file_t", "init_t"], "attr": ["domain"],
   "typeattr": {"init_t": ["domain"]},
   "labeling": {"file": [{"path": "/etc/a.conf", "context": "file_t"},
                         {"path": "/etc/b.conf", "context": "init_t"}],
    "reserved_sid": [{"sid": "kernel", "context": "init_t"}],
    "netif": [{"name": "eth0", "context": "file_t"}],
    "packet": [{"prot": "tcp", "source": "10.0.0.0/8", "destination": "0.0.0.0/0",
                "sport": "1024-65535", "dport": "443", "context": "file_t"}]}},
   "rules": [{"subject": "domain",
              "type_transition": [{"object": "file_t", "class": "process", "target": "init_t"}]},
             {"subject": "init_t",
              "teac": [{"object": "file_t", "class": "file", "operation": ["read"]}]}]})");
  const std::vector<uint8_t> image = Compiled(dir);
  ASSERT_TRUE(ExpectSameReading(image));
  for (size_t size = 0; size < image.size(); ++size) {
    EXPECT_FALSE(ExpectSameReading({image.begin(), image.begin() + size})) << size;
  }
  for (size_t at = 0; at < image.size(); ++at) {
    for (const int value : {0x00, 0xFF, image[at] + 1}) {
      std::vector<uint8_t> damaged = image;
      damaged[at] = static_cast<uint8_t>(value);
      ExpectSameReading(damaged);
    }
  }
  std::vector<uint8_t> trailing = image;
  trailing.push_back(0);
  EXPECT_TRUE(ExpectSameReading(trailing));
  std::vector<uint8_t> repeatedRule = image;
  std::copy(image.end() - 12, image.end() - 4, repeatedRule.end() - 24);
  EXPECT_FALSE(ExpectSameReading(repeatedRule));
  EXPECT_FALSE(ExpectSameReading(Spliced(image, "init_t", "file_t")));
  EXPECT_FALSE(ExpectSameReading(Spliced(image, "/etc/b.conf", "/etc/a.conf")));
  // Empty texts and type-attribute entries, with everything after them in place.
  EXPECT_FALSE(ExpectSameReading(Spliced(image, "\4\0\0\0\0\0eth0"sv, "\0\0\0\0\0\0"sv)));
  std::vector<uint8_t> emptyEntry = image;
  const auto lastEntry = emptyEntry.end() - 4 - 2 * 12 - 4;  // {1, domain} before 2 rules
  *emptyEntry.erase(lastEntry, lastEntry + 2) = 0;
  EXPECT_FALSE(ExpectSameReading(emptyEntry));
}

}  // namespace
