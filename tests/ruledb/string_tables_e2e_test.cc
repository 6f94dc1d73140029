// polc on a policy with many names and file contexts: the symbol and file
// context records of the binary come in the order of the table chains, which
// this test works out on its own - buckets ascending, each bucket's texts in
// unsigned byte order - from the hash and the bucket count alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ruledb/hash_tbl.h"
#include "ruledb/little_endian.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "tests/support/polc_test.h"

namespace {

using polc_test::ReadFile;
using polc_test::RunPolc;
using polc_test::RunResult;
using polc_test::TempDir;

// A record of either table: key text, then the datum (a context name, or a
// symbol value written out in decimal).
using Record = std::pair<std::string, std::string>;

// Records in map order of a table of HashTblBucketCount(size) buckets.
std::vector<Record> InMapOrder(std::vector<Record> records) {
  const uint32_t mask = HashTblBucketCount(static_cast<uint32_t>(records.size())) - 1;
  auto bucket = [mask](const Record& record) {
    return MurmurHash3X86(record.first.data(), record.first.size(), 0) & mask;
  };
  std::sort(records.begin(), records.end(), [&](const Record& a, const Record& b) {
    // std::string compares as unsigned bytes, as strcmp does.
    return std::make_tuple(bucket(a), a.first) < std::make_tuple(bucket(b), b.first);
  });
  return records;
}

// Reads the binary's symbol and file context sections; it must have no
// object contexts.
class ImageReader {
 public:
  explicit ImageReader(std::string image) : image_(std::move(image)) {}

  uint32_t U32() {
    EXPECT_LE(at_ + 4, image_.size());
    if (at_ + 4 > image_.size()) return 0;
    const uint32_t value = LoadU32Le(reinterpret_cast<const uint8_t*>(image_.data() + at_));
    at_ += 4;
    return value;
  }
  std::string Text(uint32_t length) {
    EXPECT_LE(at_ + length, image_.size());
    if (at_ + length > image_.size()) return "";
    std::string text = image_.substr(at_, length);
    at_ += length;
    return text;
  }

 private:
  std::string image_;
  size_t at_ = 0;
};

TEST(StringTablesEndToEnd, RecordsFollowTheChainsOfOneByOneInsertion) {
  // Names and paths with long shared prefixes, some prefixes of others, and
  // paths with bytes above 0x7F, so bucket order and byte order both matter.
  std::mt19937 random(4242);
  std::vector<std::string> types;
  for (int i = 0; i < 700; i++) {
    types.push_back("t" + std::string(i % 5, 'x') + "_" + std::to_string(random() % 100000));
  }
  std::sort(types.begin(), types.end());
  types.erase(std::unique(types.begin(), types.end()), types.end());
  std::shuffle(types.begin(), types.end(), random);
  const char* const kDirs[] = {
      "/usr/lib/",         "/usr/lib64/", "/usr/", "/etc/\xc3\xa9t\xc3\xa9/",
      "/srv/\xe2\x82\xac", "/var/log/app"};
  std::set<std::string> paths;
  while (paths.size() < 3000) {
    paths.insert(kDirs[random() % 6] + std::to_string(random() % 50000));
  }
  std::vector<Record> expectedContexts;
  std::string source = R"({"declarations": {"type": [)";
  for (size_t i = 0; i < types.size(); i++) {
    source += (i == 0 ? "\"" : ", \"") + types[i] + "\"";
  }
  source += R"(], "labeling": {"file": [)";
  for (const std::string& path : paths) {
    const std::string& context = types[random() % types.size()];
    source += (expectedContexts.empty() ? "" : ", ") + std::string(R"({"path": ")") + path +
              R"(", "context": ")" + context + "\"}";
    expectedContexts.emplace_back(path, context);
  }
  source += "]}}}";

  TempDir dir;
  const RunResult run =
      RunPolc({"-c", "-o", dir.Path("policy.bin"), dir.Write("policy.json", source)});
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_NE(run.out.find("[INFO][VaroCompiler][Done]"), std::string::npos);

  // Values are the types' places in byte order.
  std::vector<std::string> byValue = types;
  std::sort(byValue.begin(), byValue.end());
  std::vector<Record> expectedSymbols;
  for (size_t value = 0; value < byValue.size(); value++) {
    expectedSymbols.emplace_back(byValue[value], std::to_string(value));
  }

  ImageReader image(ReadFile(dir.Path("policy.bin")));
  EXPECT_EQ(image.U32(), POLICY_MAGIC);
  image.U32();  // version
  const uint32_t flags = image.U32();
  EXPECT_EQ(flags & (FLAG_INITIAL_SID | FLAG_NETIF | FLAG_PACKET), 0u);
  EXPECT_NE(flags & FLAG_FILE_CONTEXT, 0u);
  image.U32();  // symbol and object counts of the header
  image.U32();
  std::vector<Record> symbols(image.U32());
  for (Record& symbol : symbols) {
    const uint32_t length = image.U32();
    symbol.second = std::to_string(image.U32());
    symbol.first = image.Text(length);
  }
  EXPECT_EQ(symbols, InMapOrder(expectedSymbols));
  std::vector<Record> contexts(image.U32());
  for (Record& context : contexts) {
    const uint32_t pathLength = image.U32();
    const uint32_t contextLength = image.U32();
    context.first = image.Text(pathLength);
    context.second = image.Text(contextLength);
  }
  EXPECT_EQ(contexts, InMapOrder(expectedContexts));
}

}  // namespace
