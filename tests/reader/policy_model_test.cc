#include "reader/policy_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

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
  const std::pair<const char*, uint32_t> rows[] = {{"kernel", 1}, {"varo", 2},   {"unlabeled", 3},
                                                   {"proc", 4},   {"Kernel", 0}, {"kernel ", 0}};
  for (const auto& [name, number] : rows) EXPECT_EQ(GetInitialSidNumber(name), number) << name;
}

}  // namespace
