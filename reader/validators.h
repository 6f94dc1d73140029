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
// A refused value is described by a Fault (values masked with
// MaskControlChars in log lines); nothing here changes a model, and the
// converting functions write their out value only on success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/diagnostic.h"
#include "reader/policy_model.h"

inline constexpr size_t MAX_CONTEXT_NAME_LENGTH = 16000;  // bytes; 1 is the least
inline constexpr size_t MAX_FILE_PATH_LENGTH = 4096;      // bytes
inline constexpr long MAX_PORT = 65535;
inline constexpr uint32_t MAX_PREFIX_LENGTH = 32;  // bits of an IPv4 address prefix
inline constexpr size_t MAX_TYPES_AND_ATTRS = 65535;  // names over all files

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

// Adds `fault` to `diagnostics` as a fault of `file` as a whole; -1.
int ReportFileFault(Diagnostics& diagnostics, const std::string& file, Fault fault);

// Why `name` is no context name (1..16000 bytes matching the pattern), or
// nothing. polc logs only the pattern mismatch.
std::optional<Fault> ContextNameFault(std::string_view name);
// The fault of a valid name that the file neither declares nor requires.
Fault UndefinedNameFault(std::string_view name);
// The fault of a "reserved_sid" entry whose sid is none of the initial sid
// table.
Fault UnknownSidFault(std::string_view sid);
// The fault of a rule whose class is not in the class table.
enum class RuleKind { GRANT, TRANSITION };
Fault UnknownClassFault(std::string_view cls, RuleKind kind);
// The fault of a grant that names an operation its class lacks.
Fault UnknownOperationFault(std::string_view cls, std::string_view operation);
// The faults of the merged policy: too many names, a required name no file
// declares, a name declared as type and as attribute.
Fault TooManyNamesFault();
Fault UnresolvedRequireFault(std::string_view name);
Fault TypeAndAttributeFault(std::string_view name);
// Why `path` cannot be labeled: over 4096 bytes, a control or shell
// character, or no "/" (or letters, ":" and "/") at its start.
std::optional<Fault> FilePathFault(std::string_view path);

// Whether each text of a name pool is a valid context name, worked out once
// per text: the files of a policy use the same names over and over. Keep one
// per pool; the pool only grows, so earlier verdicts stay right. It also
// keeps whether a name fails as a context of the file being checked, worked
// out once per file: the rules of a file name a few thousand names a million
// times.
class NameForms {
 public:
  bool IsValid(const NamePool& names, NameId id);
  // Forgets the verdicts on the file checked before.
  void StartFile() {
    if (++file != 0) return;
    // After 2^32 files the stamps come round: none may be taken for new.
    verdicts.assign(verdicts.size(), Verdict{});
    file = 1;
  }
  // Whether `id` fails as a context of the file being checked, which
  // `fails(id)` tells when asked.
  template <typename Fails>
  bool FailsInFile(const NamePool& names, NameId id, Fails fails) {
    if (id >= verdicts.size()) verdicts.resize(names.size());
    Verdict& verdict = verdicts[id];
    if (verdict.file != file) verdict = {file, fails(id)};
    return verdict.fails;
  }

 private:
  enum class Form : uint8_t { UNKNOWN, VALID, INVALID };
  struct Verdict {
    uint32_t file = 0;  // the file it holds for
    bool fails = false;
  };
  std::vector<Form> forms;        // indexed by id
  std::vector<Verdict> verdicts;  // indexed by id
  uint32_t file = 1;
};

// The per-file checks; each adds its first fault, in key order, for `file`.
// Every name of types, attrs and requires_ is a valid context name.
int CheckDeclaredNames(const PolicyModel& fileModel, NameForms& forms, Diagnostics& diagnostics,
                       const std::string& file);
// Every name used by typeAttrMap, by the contexts of the labeling maps and by
// the rules (subject, object, target; not the class) is defined in the file.
int CheckContextReferences(const PolicyModel& fileModel, NameForms& forms, Diagnostics& diagnostics,
                           const std::string& file);
// Every key of fileContexts is a path that can be labeled (FilePathFault).
int CheckFilePaths(const PolicyModel& fileModel, Diagnostics& diagnostics, const std::string& file);

// "a.b.c.d/n": four octets 0..255 without leading zeros, prefix 0..32.
// `out` is written only on success.
std::optional<Fault> ParseAddressPrefix(std::string_view text, AddressPrefix& out);
// "p" or "p-q": one to five digits each (leading zeros allowed), both at
// most 65535 and p <= q.
std::optional<Fault> ParsePortRange(std::string_view text, PortRange& out);
