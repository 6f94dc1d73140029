// Deterministic generator of valid policy source files for the benchmarks.
//
// A policy of a given shape is split over `files` source files. Types and
// attributes are dealt out to the files in contiguous blocks; each file
// declares its own block and writes the rules whose subject it declares, so
// grant and transition keys never repeat across files. A file borrows names
// of other files (rule objects, transition targets, attributes, labeling
// contexts) and lists every borrowed name under "require".
//
// Every file is generated from its own seeded random stream, so a file's
// text depends only on the shape and its index: the same shape always gives
// the same bytes, in any order and on any machine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace polc_bench {

// Counts of a whole policy; every count is exact in the generated files.
struct PolicyShape {
  std::string_view name;   // preset name, also shown in the file headers
  uint32_t files;          // number of source files
  uint32_t types;          // declared types, over all files
  uint32_t attrs;          // declared attributes, over all files
  uint32_t typeAttrLinks;  // distinct (type, attribute) pairs under "typeattr"
  uint32_t grantRules;     // distinct (subject, object, class) "teac" keys
  uint32_t transitions;    // distinct "type_transition" keys
  uint32_t fileContexts;   // distinct labeled file paths
  uint32_t netifs;         // distinct network interface names
  uint32_t packets;        // distinct packet keys
};

// The preset called `name` ("small", "medium", "large", "max", "one-file"),
// or null.
const PolicyShape* FindPreset(std::string_view name);

// Empty when `shape` can be generated, else why not: every file needs a type
// of its own, and the counts must fit into the names and keys available.
std::string CheckShape(const PolicyShape& shape);

// Name of source file `index`: "policy_0000.json" and so on, so that a sorted
// listing gives the files in index order.
std::string PolicyFileName(uint32_t index);

// JSON text of source file `index` (0 <= index < shape.files) of a shape that
// passes CheckShape.
std::string GeneratePolicyFile(const PolicyShape& shape, uint32_t index);

}  // namespace polc_bench
