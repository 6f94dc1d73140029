#include "reader/diagnostic_codes.h"

std::span<const CodeSummary> ReaderCodes() {
  static constexpr CodeSummary CODES[] = {
      {code::READ_FAILED,
       "The file cannot be read: it is missing, unreadable or not a regular file."},
      {code::JSON_SYNTAX,
       "The file is not valid JSON, or goes beyond the limits of the JSON reader."},
      {code::NOT_AN_OBJECT, "A value that must be an object is of another kind."},
      {code::EMPTY_OBJECT, "An object that must have members has none."},
      {code::UNKNOWN_KEY, "An object has a member whose key it does not allow."},
      {code::REPEATED_KEY, "An object has two members with the same key."},
      {code::NOT_AN_ARRAY, "A value that must be an array is of another kind."},
      {code::NOT_A_STRING, "A value that must be a string is of another kind."},
      {code::MISSING_MEMBER, "An entry lacks a member it must have."},
      {code::DUPLICATE_ENTRY,
       "A path, initial sid, interface, packet or transition is given twice."},
      {code::INVALID_NAME,
       "A type or attribute name is empty, too long or holds a character names may not."},
      {code::UNDEFINED_NAME, "A name is used that the file neither declares nor requires."},
      {code::UNKNOWN_SID, "An initial sid is none of kernel, varo, unlabeled and proc."},
      {code::UNKNOWN_CLASS, "A rule names a class that is not in the class table."},
      {code::UNKNOWN_OPERATION, "A grant names an operation that its class does not have."},
      {code::INVALID_PATH,
       "A labeled path is too long, holds an unsafe character or does not start with a slash."},
      {code::UNKNOWN_PROTOCOL, "A packet names a protocol the protocol database does not know."},
      {code::INVALID_ADDRESS, "A packet's address prefix is not of the form a.b.c.d/n."},
      {code::INVALID_PORT_RANGE,
       "A packet's port range is malformed, beyond 65535 or ends before it starts."},
      {code::UNRESOLVED_REQUIRE, "A file requires a name that no file declares."},
      {code::TYPE_AND_ATTRIBUTE, "A name is declared as a type and as an attribute."},
      {code::TOO_MANY_NAMES, "The policy has more than 65535 types and attributes."},
  };
  return CODES;
}
