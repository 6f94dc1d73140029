#include "reader/policy_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(PolicyModelTest, NamesIterateInBytewiseOrder) {
  NameSet names;
  for (const char* name : {"b", "B", "a.b", "a", "\xC3\xA9", "a-", "_"}) names.insert(name);
  const std::vector<std::string> expected = {"B", "_", "a", "a-", "a.b", "b", "\xC3\xA9"};
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()), expected);
}

TEST(PolicyModelTest, RuleKeyComparesSubjectThenObjectThenClass) {
  const std::vector<RuleKey> ascending = {
      {"a", "z", "z"}, {"b", "a", "z"}, {"b", "b", "a"}, {"b", "b", "b"}, {"b", "bb", "a"},
  };
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(ascending[i] < ascending[j], i < j) << i << " " << j;
      EXPECT_EQ(ascending[i] == ascending[j], i == j) << i << " " << j;
    }
  }
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
  EXPECT_EQ(GetInitialSidNumber("kernel"), 1u);
  EXPECT_EQ(GetInitialSidNumber("varo"), 2u);
  EXPECT_EQ(GetInitialSidNumber("unlabeled"), 3u);
  EXPECT_EQ(GetInitialSidNumber("proc"), 4u);
  EXPECT_EQ(GetInitialSidNumber("Kernel"), 0u);
  EXPECT_EQ(GetInitialSidNumber("kernel "), 0u);
  EXPECT_EQ(GetInitialSidNumber(""), 0u);
}

}  // namespace
