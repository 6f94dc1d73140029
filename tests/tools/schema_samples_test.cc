// The schema's sample files say what polc itself accepts: the schema test
// (check_schema.py) holds the schema to them, this test holds polc to them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/polc_test.h"

namespace {

void ExpectPolcVerdicts(const std::string& folder, bool accepted) {
  const polc_test::TempDir dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    ++files;
    const polc_test::RunResult run =
        polc_test::RunPolc({"-c", "-o", dir.Path("policy.bin"), entry.path().string()});
    EXPECT_EQ(run.exitStatus == 0, accepted) << entry.path() << "\n" << run.out;
  }
  EXPECT_GT(files, 0);
}

TEST(SchemaSamples, PolcAcceptsTheGoodOnes) {
  ExpectPolcVerdicts(POLC_SOURCE_DIR "/tests/tools/schema/good", true);
}

TEST(SchemaSamples, PolcRefusesTheBadOnes) {
  ExpectPolcVerdicts(POLC_SOURCE_DIR "/tests/tools/schema/bad", false);
}

}  // namespace
