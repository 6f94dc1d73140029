#include "tools/policy_source.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/tools/image_writer.h"

namespace {

// A source longer than polc reads from one file is refused whole; measured
// here with small limits around the small policy's exact size.
TEST(WritePolicySource, RefusesASourceLongerThanPolcReads) {
  PolicyImage image;
  ASSERT_EQ(ReadPolicyImage(WriteImage(SmallPolicyImage()), image), "");
  std::ostringstream full;
  ASSERT_EQ(WritePolicySource(image, full), "");
  const uint64_t size = full.str().size();

  std::ostringstream exact;
  EXPECT_EQ(WritePolicySource(image, exact, size), "");
  EXPECT_EQ(exact.str(), full.str());

  std::ostringstream shorter;
  EXPECT_EQ(WritePolicySource(image, shorter, size - 1),
            "the source would be " + std::to_string(size) + " bytes, more than the " +
                std::to_string(size - 1) + " that polc reads from one file");
  EXPECT_EQ(shorter.str(), "");
}

}  // namespace
