#include "bench/policy_generator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using polc_bench::CheckShape;
using polc_bench::FindPreset;
using polc_bench::GeneratePolicyFile;
using polc_bench::PolicyFileName;
using polc_bench::PolicyShape;

TEST(PolicyGenerator, FileTextDependsOnlyOnShapeAndIndex) {
  const PolicyShape& medium = *FindPreset("medium");
  const std::string first = GeneratePolicyFile(medium, 7);
  GeneratePolicyFile(medium, 8);
  EXPECT_EQ(GeneratePolicyFile(medium, 7), first);
  EXPECT_NE(GeneratePolicyFile(medium, 6), first);
}

TEST(PolicyGenerator, FileNamesSortInIndexOrder) {
  EXPECT_EQ(PolicyFileName(0), "policy_0000.json");
  EXPECT_EQ(PolicyFileName(4095), "policy_4095.json");
  EXPECT_LT(PolicyFileName(999), PolicyFileName(1000));
}

TEST(PolicyGenerator, PresetsAreKnownByName) {
  for (const char* name : {"small", "medium", "large", "max"}) {
    const PolicyShape* preset = FindPreset(name);
    ASSERT_NE(preset, nullptr) << name;
    EXPECT_EQ(preset->name, name);
    EXPECT_EQ(CheckShape(*preset), "") << name;
  }
  EXPECT_EQ(FindPreset("huge"), nullptr);
}

TEST(PolicyGenerator, CheckShapeRefusesWhatCannotBeGenerated) {
  struct Row {
    PolicyShape shape;
    const char* reason;
  };
  const Row rows[] = {
      {{"no-files", 0, 10, 0, 0, 0, 0, 0, 0, 0}, "files must be 1 to 9999"},
      {{"too-many-files", 10000, 10000, 0, 0, 0, 0, 0, 0, 0}, "files must be 1 to 9999"},
      {{"file-without-type", 5, 4, 10, 0, 0, 0, 0, 0, 0}, "every file needs a type of its own"},
      {{"too-many-names", 1, 65000, 536, 0, 0, 0, 0, 0, 0}, "more than 65535 types and attributes"},
      {{"links-without-attrs", 1, 10, 0, 1, 0, 0, 0, 0, 0},
       "too few attributes for the typeattr links"},
      {{"three-links-two-attrs", 1, 10, 2, 21, 0, 0, 0, 0, 0},
       "too few attributes for the typeattr links"},
      {{"crowded-rules", 1, 2, 0, 0, 61, 0, 0, 0, 0}, "too many rules per subject"},
      {{"crowded-transitions", 1, 2, 0, 0, 0, 61, 0, 0, 0}, "too many rules per subject"},
      {{"too-many-packets", 1, 10, 0, 0, 0, 0, 0, 0, 65537}, "more than 65536 packets"},
      {{"rules-at-the-limit", 1, 2, 0, 0, 60, 60, 0, 0, 0}, ""},
      {{"at-the-limits", 1, 65000, 535, 0, 0, 0, 0, 0, 65536}, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CheckShape(row.shape), row.reason) << row.shape.name;
  }
}

}  // namespace
