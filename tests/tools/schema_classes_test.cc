#include "tools/schema_classes.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/polc_test.h"

namespace {

TEST(SchemaClasses, CheckedInSchemaMatchesTheClassTable) {
  const std::string schema = polc_test::ReadFile(POLC_SOURCE_DIR "/schema/policy.schema.json");
  const std::optional<std::string> current = WithCurrentClassDefinitions(schema);
  ASSERT_TRUE(current.has_value()) << "schema has no \"className\" definition";
  EXPECT_TRUE(*current == schema)
      << "schema/policy.schema.json differs from the class table; regenerate it with "
         "cmake --build <build dir> --target update_schema";
}

TEST(SchemaClasses, OperationsFollowBitOrderPerClass) {
  const std::string generated = SchemaClassDefinitions();
  EXPECT_NE(generated.find("\"const\": \"method\" } }, \"required\": [\"class\"] },\n"
                           "          \"then\": { \"properties\": { \"operation\": { \"items\": "
                           "{ \"enum\": [\"setget\"] } } } }"),
            std::string::npos);
  EXPECT_NE(generated.find("\"enum\": [\"send\", \"receive\"]"), std::string::npos);
}

TEST(SchemaClasses, GeneratorRewritesAStaleClassPart) {
  const std::string schema = polc_test::ReadFile(POLC_SOURCE_DIR "/schema/policy.schema.json");
  const polc_test::TempDir dir;
  const std::string stale = schema.substr(0, schema.find("\"per_remote_file\"")) + "]}}}\n";
  const std::string path = dir.Write("policy.schema.json", stale);
  const polc_test::RunResult run = polc_test::RunProgram(GEN_SCHEMA_CLASSES_BINARY, {path});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(polc_test::ReadFile(path) == schema);
  EXPECT_EQ(polc_test::RunProgram(GEN_SCHEMA_CLASSES_BINARY, {dir.Path("missing.json")}).exitStatus,
            1);
}

TEST(SchemaClasses, SchemaWithoutClassDefinitionsIsRefused) {
  EXPECT_FALSE(WithCurrentClassDefinitions("{\n  \"$defs\": {\n  }\n}\n").has_value());
}

}  // namespace
