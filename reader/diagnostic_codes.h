// The stable ids of the faults the reader finds in policy sources. Tools
// key on them (polclint -W, SARIF rule ids), so an id never changes its
// meaning; a new kind of fault gets a new id.
#pragma once

#include <span>
#include <string_view>

namespace code {

inline constexpr std::string_view READ_FAILED = "read-failed";
inline constexpr std::string_view JSON_SYNTAX = "json-syntax";
inline constexpr std::string_view NOT_AN_OBJECT = "not-an-object";
inline constexpr std::string_view EMPTY_OBJECT = "empty-object";
inline constexpr std::string_view UNKNOWN_KEY = "unknown-key";
inline constexpr std::string_view REPEATED_KEY = "repeated-key";
inline constexpr std::string_view NOT_AN_ARRAY = "not-an-array";
inline constexpr std::string_view NOT_A_STRING = "not-a-string";
inline constexpr std::string_view MISSING_MEMBER = "missing-member";
inline constexpr std::string_view DUPLICATE_ENTRY = "duplicate-entry";
inline constexpr std::string_view INVALID_NAME = "invalid-name";
inline constexpr std::string_view UNDEFINED_NAME = "undefined-name";
inline constexpr std::string_view UNKNOWN_SID = "unknown-sid";
inline constexpr std::string_view UNKNOWN_CLASS = "unknown-class";
inline constexpr std::string_view UNKNOWN_OPERATION = "unknown-operation";
inline constexpr std::string_view INVALID_PATH = "invalid-path";
inline constexpr std::string_view UNKNOWN_PROTOCOL = "unknown-protocol";
inline constexpr std::string_view INVALID_ADDRESS = "invalid-address";
inline constexpr std::string_view INVALID_PORT_RANGE = "invalid-port-range";
inline constexpr std::string_view UNRESOLVED_REQUIRE = "unresolved-require";
inline constexpr std::string_view TYPE_AND_ATTRIBUTE = "type-and-attribute";
inline constexpr std::string_view TOO_MANY_NAMES = "too-many-names";

}  // namespace code

// Each id with a sentence that says what it means, for the SARIF rules and
// the manual.
struct CodeSummary {
  std::string_view code;
  std::string_view summary;
};
std::span<const CodeSummary> ReaderCodes();
