// The policy compiler: numbers the types and attributes of a merged policy
// model, fills a RuleDataBase from it, writes the policy binary and, on
// request, the text map of the numbering.
//
// Every step logs its progress (INFO) and its own failures (ERROR) with the
// tag "[VaroCompiler]"; an enclosing step adds its own line. Results: 0 for
// success, -1 for the compiler's own failures, otherwise the unchanged status
// of the hash table or rule database call that failed.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/huge_pages.h"
#include "base/log.h"
#include "base/stage_timer.h"
#include "compiler/policy_binary_file.h"
#include "reader/policy_model.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"

// The map file's fixed name; it lands in the directory of the policy binary.
inline constexpr char POLICY_MAP_FILE_NAME[] = "policy.map";

// The map file path for `outputPath`: "policy.map" in the same directory
// (out/policy.bin -> out/policy.map, policy.bin -> policy.map,
// /policy.bin -> /policy.map).
std::string PolicyMapPath(const std::string& outputPath);

// The whole of `polc -c`: reads, checks and merges the source files of
// `paths`, then compiles the merged model, which the reader hands over whole,
// into the binary at `outputPath` (and, with `generateMap`, the map beside
// it). 0, or the status of the first step that failed. With `timer`, the
// whole compile runs on the calling thread, each stage timed.
int CompileSources(const std::vector<std::string>& paths, const std::string& outputPath,
                   bool generateMap, StageTimer* timer = nullptr);

// Owns one zero-filled RuleDataBase record. Everything the record points to
// is released by RuleDataBaseDestory, called exactly once: by
// DestroyContents, or at the latest when the owner goes away.
class OwnedRuleDataBase {
 public:
  OwnedRuleDataBase();  // a failed allocation ends the process, as in a container
  ~OwnedRuleDataBase();
  OwnedRuleDataBase(const OwnedRuleDataBase&) = delete;
  OwnedRuleDataBase& operator=(const OwnedRuleDataBase&) = delete;

  RuleDataBase* get() const { return record; }
  RuleDataBase* operator->() const { return record; }

  // Releases the tables, lists and arrays of the record; later calls do
  // nothing. The record itself stays valid (and empty) until destruction.
  void DestroyContents();

 private:
  RuleDataBase* record;    // owned, zero-filled at first
  bool destroyed = false;  // RuleDataBaseDestory has run
};

// A rule as the rule table holds it. Its names follow from the numbers
// (TypeNames, GetClassName), so the rule stays small for sorting.
struct NumberedRule {
  RuleTblKey key;      // the rule table key
  RuleTblDatum datum;  // grant: OR of the operation bits; transition: value of the target
};

class VaroCompiler {
 public:
  // With `timer`, each step of Compile is timed.
  explicit VaroCompiler(PolicyModel policy, StageTimer* timer = nullptr);
  VaroCompiler(const VaroCompiler&) = delete;
  VaroCompiler& operator=(const VaroCompiler&) = delete;

  // Populates the database, writes the policy binary to `outputPath` (taken
  // as given) and, with `generateMap`, the map file beside it. Call once. On
  // return the database contents are released, whatever the result. A
  // failure to write the binary leaves a file already at `outputPath`
  // untouched (unless it is a device or pipe, which is written in place).
  int Compile(std::string outputPath, bool generateMap);

  // The population steps of Compile, in their order; the first failure
  // ends them, and each leaves what it built in the database.
  int PopulateRuleDataBase();

  // The value of a declared type or attribute; the reader guarantees that
  // every name the compiler looks up is declared.
  uint32_t LookupTypeValue(std::string_view name) const;
  uint32_t TypeValue(NameId name) const {
    assert(name < typeIndexMap.size() && typeIndexMap[name] != NO_VALUE);
    return typeIndexMap[name];
  }

  const PolicyModel& Model() const { return model; }
  // The types, then the attributes, each in name order: the name of each
  // value, from SortTypeFields.
  const std::vector<NameId>& TypeNames() const { return typeNames; }
  // The name of the type or attribute with `value`.
  std::string_view TypeName(uint32_t value) const { return model.names.Text(typeNames[value]); }

 private:
  static constexpr uint32_t NO_VALUE = UINT32_MAX;

  // The steps of PopulateRuleDataBase and their parts. PopulateTypes
  // numbers the types and attributes (SortTypeFields) and fills the symbol
  // table; PopulateRuleTbl numbers the rules and fills the rule table.
  int PopulateTypes();
  void SortTypeFields();
  int PopulateTypeSymTbl();
  int PopulateLabeling();
  int PopulateInitialSids();
  int PopulateNetifs();
  int PopulatePackets();
  int PopulateFileContexts();
  int PopulateTypeAttrs();
  int PopulateRuleTbl();

  // Serialises the database into the policy binary at `outputPath` and logs
  // any failure: 0; -1 when the file cannot be created; -22 when writing it
  // fails; else the status of RuleDataBaseWrite.
  int WritePolicyBinary(const std::string& outputPath);
  // Writes the map file from `model` and `typeIndexMap` alone: 0, or -1 when
  // it cannot be created or written. Logs nothing itself.
  int WritePolicyMap(const std::string& mapPath) const;

  StageTimer* timer;
  PolicyModel model;  // read-only during compilation
  // name -> value, indexed by the name's pool id (NO_VALUE for a pool text
  // that is no type or attribute); from SortTypeFields.
  std::vector<uint32_t> typeIndexMap;
  std::vector<NameId> typeNames;  // value -> name
  OwnedRuleDataBase ruleDataBase;
};
