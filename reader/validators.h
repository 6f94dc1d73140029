// Checks of the text values of a policy source file: context names, labeled
// file paths, IPv4 address prefixes and port ranges.
//
// The accepted languages are those of four ECMAScript patterns:
//   context name, whole match:   [a-zA-Z0-9-_\./]+
//   file path, search:           ^([a-zA-Z]+:)?/
//   address prefix, whole match:
//   ^((25[0-5]|(2[0-4]|1\d|[1-9]|)\d)\.?\b){4}/([0-9]|[1-2][0-9]|3[0-2])$ port range, whole match:
//   ^[0-9]{1,5}$|^[0-9]{1,5}-[0-9]{1,5}$
// They are matched by hand, in one pass without backtracking, so that long
// names cost neither stack nor time; the Matches* functions accept exactly
// the texts that the patterns accept.
//
// Failures are logged (values masked with MaskControlChars) and reported as
// -1 or false; nothing here changes a model, and the converting functions
// write their out value only on success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "reader/policy_model.h"

inline constexpr size_t MAX_CONTEXT_NAME_LENGTH = 16000;  // bytes; 1 is the least
inline constexpr size_t MAX_FILE_PATH_LENGTH = 4096;      // bytes
inline constexpr long MAX_PORT = 65535;
inline constexpr uint32_t MAX_PREFIX_LENGTH = 32;  // bits of an IPv4 address prefix

// An IPv4 address with its prefix length, as in "192.168.1.0/24".
struct AddressPrefix {
  uint32_t address;       // host byte order, first octet most significant
  uint32_t prefixLength;  // 0..32, a count of bits, not a mask
};

// A port or an inclusive range of ports, as in "80" or "1024-65535".
struct PortRange {
  uint16_t start;  // first port
  uint16_t end;    // last port, >= start
};

// The pure language matchers.
bool MatchesContextName(std::string_view text);
bool MatchesPathStart(std::string_view text);
bool MatchesAddressPrefix(std::string_view text);
bool MatchesPortRange(std::string_view text);

// True when `name` has 1..16000 bytes and matches the context name pattern.
// Only a pattern mismatch is logged.
bool IsValidContextName(std::string_view name);
// True when `name` is a valid context name and is in types, attrs or
// requires_ of the model of one file.
bool CheckContextDefined(const PolicyModel& fileModel, std::string_view name);
// Whether each text of a name pool is a valid context name, worked out once
// per text: the files of a policy use the same names over and over. Keep one
// per pool; the pool only grows, so earlier verdicts stay right.
class NameForms {
 public:
  bool IsValid(const NamePool& names, NameId id);

 private:
  enum class Form : uint8_t { UNKNOWN, VALID, INVALID };
  std::vector<Form> forms;  // indexed by id
};

// Every name of types, attrs and requires_ is a valid context name.
int CheckDeclaredNames(const PolicyModel& fileModel, NameForms& forms);
// Every name used by typeAttrMap, by the contexts of the labeling maps and by
// the rules (subject, object, target; not the class) is defined in the file.
int CheckContextReferences(const PolicyModel& fileModel, NameForms& forms);
// Every key of fileContexts is at most 4096 bytes, free of control and shell
// characters, and starts with "/" or with letters, ":" and "/".
int CheckFilePaths(const PolicyModel& fileModel);

// "a.b.c.d/n": four octets 0..255 without leading zeros, prefix 0..32.
int ParseAddressPrefix(std::string_view text, AddressPrefix& out);
// "p" or "p-q": one to five digits each (leading zeros allowed), both at
// most 65535 and p <= q.
int ParsePortRange(std::string_view text, PortRange& out);
