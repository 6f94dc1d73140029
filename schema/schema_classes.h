// The part of schema/policy.schema.json that mirrors the compiled-in class
// table: the "className" and "operationsOfClass" definitions, which close the
// schema's "$defs". They are generated from the table so that the schema can
// never drift from what polc accepts; gen_schema_classes rewrites them.
#pragma once

#include <optional>
#include <string>

// The generated closing part of the schema: the two definitions, the end of
// "$defs" and the end of the document.
std::string SchemaClassDefinitions();

// `schema` with everything from the line that opens "className" onwards
// replaced by SchemaClassDefinitions(); nothing when that line is missing.
std::optional<std::string> WithCurrentClassDefinitions(const std::string& schema);
