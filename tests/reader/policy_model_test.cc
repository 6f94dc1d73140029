#include "reader/policy_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Texts in ascending byte order: upper case before lower case, a proper
// prefix first, bytes from 0x80 up after every ASCII byte.
const std::vector<std::string> kAscending = {"",   "B",     "a",    "a.b",
                                             "ab", "a\x80", "\x7F", "\xC3\xA9"};

// The ids of `texts` in a pool that interned them in the order `internOrder`
// (indexes into `texts`).
std::vector<NameId> InternIn(NamePool& pool, const std::vector<std::string>& texts,
                             const std::vector<size_t>& internOrder) {
  std::vector<NameId> ids(texts.size());
  for (const size_t i : internOrder) ids[i] = pool.Intern(texts[i]);
  return ids;
}

std::vector<size_t> Indexes(size_t count, bool reversed) {
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = reversed ? count - 1 - i : i;
  return order;
}

TEST(NamePoolTest, InternFindAndText) {
  NamePool pool;
  EXPECT_FALSE(pool.Find("a").has_value());  // nothing interned yet
  // Ids are dense in order of first interning; a text interned again keeps its id.
  const std::vector<std::string> texts = {"b", "a", "", "a.b", "\xC3\xA9", "longer than eight"};
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(pool.Intern(texts[i]), i) << texts[i];
  EXPECT_EQ(pool.Intern("a"), 1u);
  EXPECT_EQ(pool.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(pool.Find(texts[i]), NameId(i)) << texts[i];
    EXPECT_EQ(pool.Text(NameId(i)), texts[i]);
    EXPECT_EQ(std::strlen(pool.CText(NameId(i))), texts[i].size());
    EXPECT_EQ(std::string(pool.CText(NameId(i))), texts[i]);
  }
  for (const char* absent : {"A", "a.", "longer than eigh", "longer than eight!"}) {
    EXPECT_FALSE(pool.Find(absent).has_value()) << absent;
  }
}

TEST(NamePoolTest, ManyNamesSurviveGrowth) {
  NamePool pool;
  const auto text = [](size_t i) { return "common_prefix_" + std::to_string(i); };
  const size_t count = 20000;
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(pool.Intern(text(i)), i);
  EXPECT_EQ(pool.size(), count);
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(pool.Find(text(i)), NameId(i));
    ASSERT_EQ(pool.Intern(text(i)), i);
    ASSERT_STREQ(pool.CText(NameId(i)), text(i).c_str());
  }
  EXPECT_EQ(pool.size(), count);
  EXPECT_FALSE(pool.Find(text(count)).has_value());
}

TEST(NamePoolTest, SortAndLessFollowUnsignedBytes) {
  for (const bool reversed : {false, true}) {
    NamePool pool;
    const std::vector<NameId> ids =
        InternIn(pool, kAscending, Indexes(kAscending.size(), reversed));
    for (size_t i = 0; i < ids.size(); ++i) {
      for (size_t j = 0; j < ids.size(); ++j) {
        EXPECT_EQ(pool.Less(ids[i], ids[j]), i < j) << i << " " << j << " " << reversed;
      }
    }
    std::vector<NameId> sorted = ids;
    std::reverse(sorted.begin(), sorted.end());
    std::swap(sorted[1], sorted[5]);
    pool.SortByText(sorted);
    EXPECT_EQ(sorted, ids) << reversed;
  }
}

TEST(PolicyModelTest, RuleKeyLessComparesTextsOfSubjectThenObjectThenClass) {
  const std::vector<std::string> names = {"a", "b", "bb", "z"};
  // Each text stands for the name of its index.
  const std::vector<std::vector<size_t>> ascending = {
      {0, 3, 3}, {1, 0, 3}, {1, 1, 0}, {1, 1, 1}, {1, 2, 0},
  };
  for (const bool reversed : {false, true}) {
    NamePool pool;
    const std::vector<NameId> ids = InternIn(pool, names, Indexes(names.size(), reversed));
    std::vector<RuleKey> keys;
    for (const auto& fields : ascending) {
      keys.push_back({ids[fields[0]], ids[fields[1]], ids[fields[2]]});
    }
    for (size_t i = 0; i < keys.size(); ++i) {
      for (size_t j = 0; j < keys.size(); ++j) {
        EXPECT_EQ(RuleKeyLess(pool, keys[i], keys[j]), i < j) << i << " " << j << " " << reversed;
      }
    }
  }
}

TEST(PolicyModelTest, NameIdSetKeepsFirstInsertionOrder) {
  NameIdSet set;
  EXPECT_TRUE(set.empty());
  EXPECT_FALSE(set.Contains(0));
  for (const NameId id : {NameId{7}, NameId{0}, NameId{300}, NameId{7}, NameId{2}, NameId{0}}) {
    set.Insert(id);
  }
  EXPECT_EQ(std::vector<NameId>(set.Ids().begin(), set.Ids().end()),
            (std::vector<NameId>{7, 0, 300, 2}));
  EXPECT_EQ(set.size(), 4u);
  EXPECT_FALSE(set.Insert(300));
  EXPECT_TRUE(set.Insert(299));
  for (const NameId id : {NameId{1}, NameId{6}, NameId{8}, NameId{301}, NameId{100000}}) {
    EXPECT_FALSE(set.Contains(id)) << id;
  }
  EXPECT_TRUE(set.Contains(299));
}

// A path keeps its first context; entries come back in insertion order.
TEST(PolicyModelTest, FileContextMapKeepsEachPathOnce) {
  FileContextMap map;
  EXPECT_TRUE(map.empty());
  // Ids below the first one inserted, at it and above it.
  const std::pair<NameId, NameId> inserts[] = {{5, 1}, {0, 2}, {700, 3}, {5, 4},
                                               {0, 5}, {6, 6}, {4, 7},   {4, 8}};
  std::vector<bool> accepted;
  for (const auto& [path, context] : inserts) accepted.push_back(map.Insert(path, context));
  EXPECT_EQ(accepted, (std::vector<bool>{true, true, true, false, false, true, true, false}));
  std::vector<std::pair<NameId, NameId>> entries;
  for (const auto& [path, context] : map) entries.emplace_back(path, context);
  EXPECT_EQ(entries,
            (std::vector<std::pair<NameId, NameId>>{{5, 1}, {0, 2}, {700, 3}, {6, 6}, {4, 7}}));
  EXPECT_EQ(map.size(), 5u);
}

// Whatever order the entries come in, the smallest by text is kept.
TEST(PolicyModelTest, FirstInKeyOrderKeepsTheSmallestOffered) {
  NamePool pool;
  const std::vector<std::string> texts = {"b", "a.b", "B", "a"};
  std::vector<NameId> offered;
  for (const std::string& text : texts) offered.push_back(pool.Intern(text));
  const auto less = [&pool](NameId a, NameId b) { return pool.Less(a, b); };
  FirstInKeyOrder<NameId, decltype(less)> none(less);
  EXPECT_EQ(none.Get(), nullptr);
  std::sort(offered.begin(), offered.end());
  do {
    FirstInKeyOrder<NameId, decltype(less)> first(less);
    for (const NameId id : offered) first.Offer(id);
    ASSERT_NE(first.Get(), nullptr);
    EXPECT_EQ(pool.Text(*first.Get()), "B");
  } while (std::next_permutation(offered.begin(), offered.end()));
}

TEST(PolicyModelTest, PacketKeyComparesFieldsInOrder) {
  // Each key differs from the one before it in exactly one field, from the
  // last field up to the first, and only that field decides.
  const PacketKey base{6, 0x0A000000, 8, 0xC0A80000, 16, 1, 2, 80, 443};
  std::vector<PacketKey> keys(10, base);
  keys[1].dportEnd = 444;
  keys[2].dportStart = 81;
  keys[3].sportEnd = 3;
  keys[4].sportStart = 2;
  keys[5].destinationMask = 17;
  keys[6].destinationAddress = 0xC0A80001;
  keys[7].sourceMask = 9;
  keys[8].sourceAddress = 0x0A000001;
  keys[9].protocol = 17;
  for (size_t i = 1; i < keys.size(); ++i) {
    EXPECT_LT(base, keys[i]) << i;
    EXPECT_FALSE(keys[i] < base) << i;
  }
  // A larger later field never outweighs a smaller earlier one.
  PacketKey lowProtocol = keys[1];
  lowProtocol.protocol = 5;
  EXPECT_LT(lowProtocol, base);
  EXPECT_EQ(base, PacketKey(base));
}

TEST(PolicyModelTest, InitialSidNumbersFollowTheTable) {
  const std::pair<const char*, uint32_t> rows[] = {{"kernel", 1}, {"varo", 2},   {"unlabeled", 3},
                                                   {"proc", 4},   {"Kernel", 0}, {"kernel ", 0}};
  for (const auto& [name, number] : rows) EXPECT_EQ(GetInitialSidNumber(name), number) << name;
}

}  // namespace
