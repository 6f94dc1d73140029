#include "ruledb/hash_tbl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ruledb/rule_data_base.h"
#include "tests/ruledb/ruledb_test_util.h"

namespace {

using ruledb_test::HeapString;

// Inserts `name` with no datum; the table owns the key on success.
int32_t InsertName(HashTbl* table, const std::string& name) {
  char* key = HeapString(name);
  int32_t status = StrTblInsert(table, key, nullptr);
  if (status != 0) {
    free(key);
  }
  return status;
}

int32_t CollectKey(void* key, void*, void* arg) {
  static_cast<std::vector<std::string>*>(arg)->push_back(static_cast<const char*>(key));
  return 0;
}

std::vector<std::string> MapOrder(const HashTbl* table) {
  std::vector<std::string> keys;
  EXPECT_EQ(StrTblMap(table, CollectKey, &keys), 0);
  return keys;
}

uint32_t SameBucketForAll(const void*) { return 7; }

TEST(HashTblBucketCount, IsThePowerOfTwoAboveTheCountCappedAt65536) {
  const struct {
    uint32_t n;
    uint32_t buckets;
  } cases[] = {{0, 0},         {1, 2},         {2, 4},          {3, 4},
               {4, 8},         {5, 8},         {8, 16},         {1000, 1024},
               {65535, 65536}, {65536, 65536}, {100000, 65536}, {0xFFFFFFFF, 65536}};
  for (const auto& c : cases) {
    EXPECT_EQ(HashTblBucketCount(c.n), c.buckets) << "n=" << c.n;
  }
}

TEST(MurmurHash3X86, MatchesPublishedVectors) {
  const struct {
    std::string input;
    uint32_t seed;
    uint32_t hash;
  } cases[] = {
      {"", 0, 0},
      {"", 1, 0x514E28B7},
      {"", 0xFFFFFFFF, 0x81F16F39},
      {std::string("\xFF\xFF\xFF\xFF", 4), 0, 0x76293B50},
      {"\x21\x43\x65\x87", 0, 0xF55B516B},
      {"\x21\x43\x65\x87", 0x5082EDEE, 0x2362F9DE},
      {"\x21\x43\x65", 0, 0x7E4A8634},
      {"\x21\x43", 0, 0xA0F7B07A},
      {"\x21", 0, 0x72661CF4},
      {std::string(4, '\0'), 0, 0x2362F9DE},
      {std::string(3, '\0'), 0, 0x85F0B427},
      {std::string(2, '\0'), 0, 0x30F4C306},
      {std::string(1, '\0'), 0, 0x514E28B7},
      {"Hello, world!", 0x9747B28C, 0x24884CBA},
      {"aaaa", 0x9747B28C, 0x5A97808A},
      {"aaa", 0x9747B28C, 0x283E0130},
      {"aa", 0x9747B28C, 0x5D211726},
      {"a", 0x9747B28C, 0x7FA09EA6},
      {"abcd", 0x9747B28C, 0xF0478627},
      {"abc", 0x9747B28C, 0xC84A62DD},
      {"ab", 0x9747B28C, 0x74875592},
      {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MurmurHash3X86(c.input.data(), c.input.size(), c.seed), c.hash)
        << "input of " << c.input.size() << " bytes, seed " << c.seed;
  }
}

TEST(StrTblHash, HashesTheBytesBeforeTheNulWithSeedZeroAtAnyAlignment) {
  const std::string name = "Hello, world!";
  // Every offset of the name inside a buffer: block reads must not depend on
  // alignment (the sanitizer build checks misaligned loads).
  std::vector<char> buffer(name.size() + 8, '\0');
  for (size_t offset = 0; offset < 4; offset++) {
    std::copy(name.begin(), name.end(), buffer.begin() + static_cast<long>(offset));
    buffer[offset + name.size()] = '\0';
    EXPECT_EQ(StrTblHash(buffer.data() + offset), MurmurHash3X86(name.data(), name.size(), 0));
  }
  EXPECT_EQ(StrTblHash(""), 0u);
}

TEST(RuleTblHash, HashesTheFourFieldsAsLittleEndianBytes) {
  const RuleTblKey key{0x0102, 0x0304, 0x0506, RULE_TRANSITION};
  const uint8_t bytes[] = {0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x02, 0x00};
  EXPECT_EQ(RuleTblHash(&key), MurmurHash3X86(bytes, sizeof(bytes), 0));
}

TEST(RuleTblCmp, OrdersBySourceTargetClassThenKind) {
  const struct {
    RuleTblKey a;
    RuleTblKey b;
    int32_t result;
  } cases[] = {
      {{1, 2, 3, 1}, {1, 2, 3, 2}, -1},          {{2, 0, 0, 0}, {1, 65535, 65535, 65535}, 1},
      {{1, 2, 3, 1}, {1, 2, 3, 1}, 0},           {{0, 0, 0, 0}, {65535, 0, 0, 0}, -65535},
      {{5, 9, 0, 0}, {5, 2, 65535, 65535}, 7},   {{5, 9, 30, 0}, {5, 9, 1, 65535}, 29},
      {{5, 9, 30, 65535}, {5, 9, 30, 0}, 65535},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RuleTblCmp(&c.a, &c.b), c.result)
        << c.a.source << "," << c.a.target << "," << c.a.tclass << "," << c.a.specified;
  }
}

TEST(HashTbl, TableForNoElementsRefusesInsertsAndFindsNothing) {
  HashTbl table{};
  ASSERT_EQ(StrTblInit(&table, 0), 0);
  EXPECT_EQ(table.size, 0u);
  EXPECT_EQ(InsertName(&table, "a"), RULEDB_EINVAL);
  EXPECT_EQ(StrTblSearch(&table, "a"), nullptr);
  EXPECT_TRUE(MapOrder(&table).empty());
  StrTblDestroy(&table);
  EXPECT_EQ(table.buckets, nullptr);
}

TEST(HashTbl, EqualKeyIsRefusedAndTheFirstDatumStays) {
  HashTbl table{};
  ASSERT_EQ(StrTblInit(&table, 4), 0);
  char* first = HeapString("first");
  ASSERT_EQ(StrTblInsert(&table, HeapString("a"), first), 0);
  char* key = HeapString("a");
  EXPECT_EQ(StrTblInsert(&table, key, nullptr), RULEDB_EEXIST);
  free(key);
  EXPECT_EQ(table.nel, 1u);
  HashTblNode* node = StrTblSearch(&table, "a");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->datum, first);
  StrTblDestroy(&table);
}

TEST(HashTbl, CollidingKeysAreChainedInAscendingOrder) {
  for (const std::vector<std::string>& insertion :
       {std::vector<std::string>{"c", "a", "b", "bb"}, {"bb", "b", "a", "c"}}) {
    HashTbl table{};
    ASSERT_EQ(HashTblInit(&table, 4, SameBucketForAll, StrTblCmp), 0);
    for (const std::string& name : insertion) {
      ASSERT_EQ(InsertName(&table, name), 0);
    }
    EXPECT_EQ(MapOrder(&table), (std::vector<std::string>{"a", "b", "bb", "c"}));
    const HashTblNode* head = table.buckets[7 & 3];
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(static_cast<const char*>(head->key), "a");
    for (const std::string& name : insertion) {
      EXPECT_NE(StrTblSearch(&table, name.c_str()), nullptr) << name;
    }
    EXPECT_EQ(StrTblSearch(&table, "ba"), nullptr);
    EXPECT_EQ(StrTblSearch(&table, "d"), nullptr);
    StrTblDestroy(&table);
  }
}

TEST(HashTbl, MapVisitsBucketsInIndexOrderThenKeysInOrder) {
  std::vector<std::string> names;
  for (int i = 0; i < 40; i++) {
    names.push_back("type_" + std::to_string(i * 7919 % 1000));
  }
  // With 40 names in 8 buckets, several share a bucket.
  const uint32_t mask = 7;
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end(), [&](const std::string& a, const std::string& b) {
    uint32_t bucketA = StrTblHash(a.c_str()) & mask;
    uint32_t bucketB = StrTblHash(b.c_str()) & mask;
    return bucketA != bucketB ? bucketA < bucketB : strcmp(a.c_str(), b.c_str()) < 0;
  });
  for (bool reversed : {false, true}) {
    HashTbl table{};
    ASSERT_EQ(HashTblInit(&table, mask + 1, StrTblHash, StrTblCmp), 0);
    std::vector<std::string> insertion = names;
    if (reversed) {
      std::reverse(insertion.begin(), insertion.end());
    }
    for (const std::string& name : insertion) {
      ASSERT_EQ(InsertName(&table, name), 0);
    }
    EXPECT_EQ(MapOrder(&table), expected);
    StrTblDestroy(&table);
  }
}

TEST(HashTbl, MapStopsAtTheFirstFailingCallback) {
  HashTbl table{};
  ASSERT_EQ(StrTblInit(&table, 5), 0);
  for (const char* name : {"a", "b", "c", "d", "e"}) {
    ASSERT_EQ(InsertName(&table, name), 0);
  }
  int visits = 0;
  auto failOnThird = [](void*, void*, void* arg) -> int32_t {
    return ++*static_cast<int*>(arg) == 3 ? RULEDB_EINVAL : 0;
  };
  EXPECT_EQ(StrTblMap(&table, failOnThird, &visits), RULEDB_EINVAL);
  EXPECT_EQ(visits, 3);
  StrTblDestroy(&table);
}

TEST(HashTbl, FullTableRefusesInserts) {
  HashTbl table{};
  ASSERT_EQ(StrTblInit(&table, 1), 0);
  table.nel = 0xFFFFFFFF;
  EXPECT_EQ(InsertName(&table, "a"), RULEDB_EINVAL);
  table.nel = 0;
  StrTblDestroy(&table);
}

TEST(HashTbl, DestroyKeepsTheCountsAndCanBeRepeated) {
  HashTbl table{};
  ASSERT_EQ(StrTblInit(&table, 3), 0);
  for (const char* name : {"a", "b", "c"}) {
    ASSERT_EQ(InsertName(&table, name), 0);
  }
  StrTblDestroy(&table);
  EXPECT_EQ(table.buckets, nullptr);
  EXPECT_EQ(table.nel, 3u);
  EXPECT_EQ(table.size, 4u);
  StrTblDestroy(&table);
  EXPECT_EQ(table.nel, 3u);
  EXPECT_EQ(StrTblSearch(&table, "a"), nullptr);
  EXPECT_TRUE(MapOrder(&table).empty());
  EXPECT_EQ(InsertName(&table, "d"), RULEDB_EINVAL);
}

}  // namespace
