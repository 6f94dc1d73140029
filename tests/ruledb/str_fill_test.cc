// StrTblFill: a string table filled in one pass must be indistinguishable,
// chain for chain and byte for byte once written, from one built with
// StrTblInsert of heap copies, for text and for fixed-size datums; it owns
// copies of every text; refusals and allocation failures leave it untouched.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ruledb/hash_tbl.h"
#include "ruledb/rule_data_base.h"
#include "tests/ruledb/ruledb_test_util.h"

namespace ruledb_test {
namespace {

// One entry as the compiler hands them over: a file context (text datum)
// and a symbol (value datum) side by side, so one batch serves both tables.
struct Entry {
  std::string key;
  std::string context;
  uint32_t value;
};

// The records StrTblFill reads; they point into the entries.
struct TextRecord {
  const char* key;
  const char* context;
};
struct ValueRecord {
  const char* key;
  uint32_t value;
};

int32_t FillContexts(HashTbl* table, const std::vector<Entry>& entries) {
  std::vector<TextRecord> records;
  for (const Entry& entry : entries) records.push_back({entry.key.c_str(), entry.context.c_str()});
  return StrTblFill(table, records.empty() ? nullptr : &records.front().key,
                    records.empty() ? nullptr : &records.front().context, HASH_TBL_TEXT,
                    sizeof(TextRecord), static_cast<uint32_t>(records.size()));
}

int32_t FillSymbols(HashTbl* table, const std::vector<Entry>& entries) {
  std::vector<ValueRecord> records;
  for (const Entry& entry : entries) records.push_back({entry.key.c_str(), entry.value});
  return StrTblFill(table, records.empty() ? nullptr : &records.front().key,
                    records.empty() ? nullptr : &records.front().value, sizeof(uint32_t),
                    sizeof(ValueRecord), static_cast<uint32_t>(records.size()));
}

// Both tables of `db` filled from `entries`.
int32_t FillBoth(RuleDataBase* db, const std::vector<Entry>& entries) {
  const int32_t status = FillContexts(&db->fileCtxTbl, entries);
  return status != 0 ? status : FillSymbols(&db->symTbl, entries);
}

void InsertBoth(RuleDataBase* db, const std::vector<Entry>& entries) {
  for (const Entry& entry : entries) {
    AddFileCtx(db, entry.key, entry.context);
    AddSymbol(db, entry.key, entry.value);
  }
}

// Every bucket's chain of both tables as "key=datum" texts, in chain order.
using Chains = std::vector<std::vector<std::string>>;

Chains ChainsOf(const RuleDataBase* db) {
  Chains chains;
  for (const HashTbl* table : {&db->fileCtxTbl, &db->symTbl}) {
    for (uint32_t bucket = 0; table->buckets != nullptr && bucket < table->size; bucket++) {
      std::vector<std::string>& chain = chains.emplace_back();
      for (const HashTblNode* node = table->buckets[bucket]; node != nullptr; node = node->next) {
        const std::string datum = table == &db->symTbl
                                      ? std::to_string(*static_cast<const uint32_t*>(node->datum))
                                      : static_cast<const char*>(node->datum);
        chain.push_back(static_cast<const char*>(node->key) + std::string("=") + datum);
      }
    }
  }
  return chains;
}

// `count` distinct keys from a small alphabet, bytes above 0x7F included,
// so that many share prefixes or are prefixes of each other and the order
// of signed and unsigned bytes differs (no "": the format has no empty
// names). Symbol
// values are 0 to count - 1 in random order, as the writer expects.
std::vector<Entry> RandomEntries(std::mt19937& random, size_t count) {
  static const char kAlphabet[] = {'/', 'a', 'b', '_', '\x7f', '\x80', '\xff'};
  std::uniform_int_distribution<size_t> length(1, 6);
  std::uniform_int_distribution<size_t> letter(0, sizeof(kAlphabet) - 1);
  std::set<std::string> seen;
  std::vector<Entry> entries;
  while (entries.size() < count) {
    std::string key(length(random), '\0');
    for (char& c : key) c = kAlphabet[letter(random)];
    if (seen.insert(key).second) {
      entries.push_back({key, "ctx_" + std::to_string(random() % 1000), 0});
    }
  }
  std::vector<uint32_t> values(count);
  for (uint32_t i = 0; i < count; i++) values[i] = i;
  std::shuffle(values.begin(), values.end(), random);
  for (size_t i = 0; i < count; i++) entries[i].value = values[i];
  return entries;
}

std::vector<Entry> Descending(std::vector<Entry> entries) {
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::strcmp(a.key.c_str(), b.key.c_str()) > 0;
  });
  return entries;
}

void InitBoth(RuleDataBase* db, uint32_t buckets) {
  db->flags |= FLAG_FILE_CONTEXT;
  ASSERT_EQ(HashTblInit(&db->fileCtxTbl, buckets, StrTblHash, StrTblCmp), 0);
  ASSERT_EQ(HashTblInit(&db->symTbl, buckets, StrTblHash, StrTblCmp), 0);
}

TEST(StrTblFill, GivesTheSameChainsAndBytesAsInsertingOneByOne) {
  // Bucket counts from one chain holding everything to more buckets than
  // entries; entries go in as singles, a fill, and singles again.
  const struct {
    uint32_t buckets;
    size_t before, filled, after;
  } cases[] = {
      {1, 0, 1, 0},        {1, 0, 80, 0},
      {1, 10, 40, 10},     {2, 0, 3, 0},
      {8, 0, 300, 0},      {8, 100, 150, 50},
      {1024, 0, 500, 0},   {1024, 499, 1, 0},
      {65536, 0, 4000, 0}, {65536, 1500, 2000, 500},
  };
  std::mt19937 random(20261206);
  for (const auto& c : cases) {
    for (bool descending : {true, false}) {
      SCOPED_TRACE(testing::Message()
                   << c.buckets << " buckets, steps " << c.before << " " << c.filled << " "
                   << c.after << (descending ? ", descending" : ", any order"));
      const std::vector<Entry> entries = RandomEntries(random, c.before + c.filled + c.after);
      DbGuard expected;
      InitBoth(expected.get(), c.buckets);
      InsertBoth(expected.get(), entries);
      DbGuard filled;  // destroyed holding bulk and single entries: leaks show under ASan
      InitBoth(filled.get(), c.buckets);
      const auto at = [&entries](size_t from, size_t n) {
        return std::vector<Entry>(entries.begin() + static_cast<long>(from),
                                  entries.begin() + static_cast<long>(from + n));
      };
      InsertBoth(filled.get(), at(0, c.before));
      const std::vector<Entry> batch = at(c.before, c.filled);
      ASSERT_EQ(FillBoth(filled.get(), descending ? Descending(batch) : batch), 0);
      InsertBoth(filled.get(), at(c.before + c.filled, c.after));
      EXPECT_EQ(filled->fileCtxTbl.nel, entries.size());
      EXPECT_EQ(filled->symTbl.nel, entries.size());
      EXPECT_EQ(ChainsOf(filled.get()), ChainsOf(expected.get()));
      const WriteResult written = WriteImage(filled.get());
      EXPECT_EQ(written.status, 0);
      EXPECT_EQ(written.image, WriteImage(expected.get()).image);
    }
  }
}

TEST(StrTblFill, KeepsItsOwnCopiesLaidOutInMapOrder) {
  std::mt19937 random(7);
  // Descending, so that the symbol values, copied as the batch is read,
  // land in map order too.
  std::vector<Entry> entries = Descending(RandomEntries(random, 300));
  DbGuard db;
  InitBoth(db.get(), 64);
  ASSERT_EQ(FillBoth(db.get(), entries), 0);
  const Chains chains = ChainsOf(db.get());
  // The caller's texts may change or go once the fill is done.
  for (Entry& entry : entries) {
    std::fill(entry.key.begin(), entry.key.end(), 'x');
    std::fill(entry.context.begin(), entry.context.end(), 'x');
  }
  entries.clear();
  EXPECT_EQ(ChainsOf(db.get()), chains);
  // Each text starts where the previous one's NUL ends, and each value
  // follows the previous one, so the writer's walk reads front to back.
  for (const HashTbl* table : {&db->fileCtxTbl, &db->symTbl}) {
    const char* key = nullptr;
    const char* datum = nullptr;
    for (uint32_t bucket = 0; bucket < table->size; bucket++) {
      for (const HashTblNode* node = table->buckets[bucket]; node != nullptr; node = node->next) {
        const auto* nodeKey = static_cast<const char*>(node->key);
        const auto* nodeDatum = static_cast<const char*>(node->datum);
        if (key != nullptr) {
          ASSERT_EQ(nodeKey, key + std::strlen(key) + 1);
          ASSERT_EQ(nodeDatum, table == &db->symTbl ? datum + sizeof(uint32_t)
                                                    : datum + std::strlen(datum) + 1);
        }
        key = nodeKey;
        datum = nodeDatum;
      }
    }
  }
}

TEST(StrTblFill, RefusesRepeatedKeysAndLeavesTheTableAsItWas) {
  const Entry stored{"/etc", "etc_t", 0};
  const Entry a{"/bin", "bin_t", 1};
  const Entry b{"/etc/x", "x_t", 2};
  const Entry c{"", "root_t", 3};
  const Entry high{"/\xc3\xa9t\xc3\xa9", "e_t", 4};  // above every ASCII byte as unsigned
  const std::string repeated = " [VARO][StrTblFill 135] refused a repeated string key\n";
  const struct {
    const char* name;
    std::vector<Entry> batch;
  } cases[] = {
      {"repeated in the batch", {a, b, b, c}},
      {"repeated apart, other datum", {b, a, high, {b.key, "y_t", 5}}},
      {"already stored", {high, stored, c}},
      {"stored key last", {a, {stored.key, "other_t", 9}}},
      {"repeated empty key", {c, a, c}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    for (int table = 0; table < 2; table++) {
      DbGuard db;
      InitBoth(db.get(), 2);
      InsertBoth(db.get(), {stored});
      const Chains chains = ChainsOf(db.get());
      SysLogCapture log;
      EXPECT_EQ(table == 0 ? FillContexts(&db->fileCtxTbl, test.batch)
                           : FillSymbols(&db->symTbl, test.batch),
                RULEDB_EEXIST);
      ASSERT_EQ(log.entries().size(), 1u);
      EXPECT_EQ(log.entries()[0].priority, LOG_ERR);
      EXPECT_EQ(log.entries()[0].text, repeated);
      EXPECT_EQ(db->fileCtxTbl.nel + db->symTbl.nel, 2u);
      EXPECT_EQ(db->fileCtxTbl.blocks, nullptr);
      EXPECT_EQ(db->symTbl.blocks, nullptr);
      EXPECT_EQ(ChainsOf(db.get()), chains);
    }
  }
}

TEST(StrTblFill, EachAllocationFailureLeavesTheTableAsItWas) {
  std::mt19937 random(99);
  const std::vector<Entry> entries = RandomEntries(random, 200);
  const std::vector<Entry> stored(entries.begin(), entries.begin() + 50);
  const std::vector<Entry> batch(entries.begin() + 50, entries.end());
  for (int table = 0; table < 2; table++) {
    SCOPED_TRACE(table == 0 ? "contexts" : "symbols");
    DbGuard db;
    InitBoth(db.get(), 16);
    InsertBoth(db.get(), stored);
    const Chains chains = ChainsOf(db.get());
    const long runs = FailEachAllocation(
        [&] {
          return table == 0 ? FillContexts(&db->fileCtxTbl, batch)
                            : FillSymbols(&db->symTbl, batch);
        },
        [&](long n, int32_t status, const std::vector<std::string>& log) {
          EXPECT_EQ(status, RULEDB_ENOMEM) << "n=" << n;
          EXPECT_EQ(log, std::vector<std::string>{" [VARO][StrTblFill 130] failed to allocate "
                                                  "memory for 150 entries\n"})
              << "n=" << n;
          EXPECT_EQ(db->fileCtxTbl.blocks, nullptr);
          EXPECT_EQ(db->symTbl.blocks, nullptr);
          EXPECT_EQ(ChainsOf(db.get()), chains);
        });
    // Scratch counts and the block: a per-entry allocation would show here.
    EXPECT_EQ(runs, 3);
  }
}

}  // namespace
}  // namespace ruledb_test
