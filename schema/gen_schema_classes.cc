// gen_schema_classes SCHEMA: rewrites the class and operation definitions at
// the end of the policy source schema from the compiled-in class table.
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "schema/schema_classes.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "Usage: gen_schema_classes <schema file>\n";
    return 1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    std::cerr << "gen_schema_classes: cannot read " << argv[1] << "\n";
    return 1;
  }
  const std::optional<std::string> updated = WithCurrentClassDefinitions(text.str());
  if (!updated) {
    std::cerr << "gen_schema_classes: " << argv[1] << " has no \"className\" definition\n";
    return 1;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << *updated;
  out.close();
  if (!out) {
    std::cerr << "gen_schema_classes: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
