// The linter's engine, shared by polclint and the language server: reads
// policy sources with polc's reader, going on after each fault, checks them
// as polc does, and warns of likely mistakes that polc accepts.
//
// It finds a fault wherever polc would refuse the sources, and only then:
// the reader is polc's, the checks of a file and of the whole policy test
// the same conditions on every use of a name instead of stopping at the
// first, and warnings are never errors. Where a file cannot be read at all,
// the checks that need the whole policy (required names) would only repeat
// that fault, and are left out.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/diagnostic.h"
#include "reader/diagnostic_codes.h"
#include "reader/policy_model.h"
#include "reader/source_index.h"
#include "reader/source_loader.h"
#include "reader/validators.h"

namespace code {

// The warnings, each switchable by its id.
inline constexpr std::string_view UNUSED_NAME = "unused-name";
inline constexpr std::string_view EMPTY_ATTRIBUTE = "empty-attribute";
inline constexpr std::string_view ATTRIBUTE_AS_CONTEXT = "attribute-as-context";
inline constexpr std::string_view TYPE_AS_ATTRIBUTE = "type-as-attribute";
inline constexpr std::string_view CONFLICTING_TRANSITIONS = "conflicting-transitions";
inline constexpr std::string_view REDUNDANT_GRANT = "redundant-grant";
inline constexpr std::string_view REPEATED_OPERATION = "repeated-operation";

}  // namespace code

// The warnings with what each means.
std::span<const CodeSummary> WarningCodes();

// One source file as the linter knows it once it is read: where it uses
// each name, and the faults the reader found in it.
struct SourceFacts {
  SourceIndex index;
  std::vector<Diagnostic> faults;
  bool read = false;  // loaded and parsed: the file could be read at all
};

// Reads policy sources and checks policies made of them. The name pools
// that the facts' ids refer to outlive each check, so that the facts of a
// file read once serve any number of checks: the language server reads
// again only the file that changed.
class Linter {
 public:
  // The facts of the source `file` (as named in the diagnostics), loaded
  // with Places::FIND.
  SourceFacts Read(const std::string& file, const LoadedSource& source);
  // Every fault and warning of the policy made of `files`, facts[i] read
  // from files[i], sorted as LintSources sorts them.
  std::vector<Diagnostic> Check(const std::vector<std::string>& files,
                                const std::vector<const SourceFacts*>& facts);
  // The name pools, which the ids of the facts refer to.
  const PolicyModel& Pools() const { return pools; }
  // Drops from the pools every text that none of `facts` uses, renumbering
  // them: the pools only grow as texts are read, and a server that reads
  // every edit again would keep each half-typed name for good.
  void Compact(const std::vector<SourceFacts*>& facts);

 private:
  PolicyModel pools;                   // holds the name and path pools only
  NameForms forms;                     // of the names of the pool
  std::vector<uint16_t> classIndexes;  // by name: GetClassIndex + 1, or 0 not known yet
};

// Every fault and warning of the policy made of the files `paths` (named in
// the diagnostics as given), sorted by file in the order of `paths`, then
// by place; those of the policy as a whole last. Key paths are left empty
// where the fault was found after the file's tree was gone (PlaceKeyPaths).
std::vector<Diagnostic> LintSources(const std::vector<std::string>& paths);

// Fills the empty key paths of `diagnostics`, all of the file whose text is
// `text`, from their offsets.
void PlaceKeyPaths(const char* text, const std::vector<Diagnostic*>& diagnostics);
