// Where a cursor stands in a policy source that may be half typed: the keys
// that lead to it, whether it is in a key or a value string, and the string
// members of the object around it. The scan forgives what the parser would
// refuse (a missing comma, an unterminated string, text cut short), so that
// completion and hover work while the author types.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct CursorContext {
  // The member keys from the root to the cursor; an array between adds
  // "[]": {"rules": [{"class": "fi|"}]} gives rules, [], class.
  std::vector<std::string> path;
  enum class Where {
    KEY,    // in a member key string, or where one may start
    VALUE,  // in a value string
    OTHER,
  };
  Where where = Where::OTHER;
  bool inString = false;  // the cursor stands in a string
  // The string at the cursor: the offset of its opening quote and its text
  // up to the cursor and whole (to its closing quote, or the line's end).
  uint32_t tokenStart = 0;
  std::string prefix;
  std::string token;
  // The string members of the innermost object and every key it has, the
  // member that holds the cursor left out.
  std::map<std::string, std::string> siblings;
  std::set<std::string> keys;
};

CursorContext ScanCursor(std::string_view text, uint32_t cursor);

// The kind of object at the path `path` (as CursorContext::path, up to the
// object itself), by the keys it allows: "root", "declarations",
// "labeling", "typeattr", "statement", "teac", "type_transition", "file",
// "reserved_sid", "netif", "packet"; "" for any other place.
std::string ObjectKind(const std::vector<std::string>& path);
