// What the linter knows of a policy once every file is read, shared by its
// checks and its warnings, and the warnings themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/diagnostic.h"
#include "reader/policy_model.h"
#include "reader/source_index.h"

// Where a name is declared: a file (its place in the list of files) and the
// offset of the declaring string.
struct Declaration {
  uint32_t file;
  uint32_t offset;
};

struct PolicyFacts {
  PolicyFacts(const std::vector<std::string>& paths, const PolicyModel& pools);

  // Adds a diagnostic at `offset` of `files[file]`.
  Diagnostic& AddAt(uint32_t file, uint32_t offset, Fault fault,
                    Severity severity = Severity::ERROR);
  // Adds a fault of the policy as a whole.
  Diagnostic& AddToPolicy(Fault fault);
  SourcePlace PlaceOf(const Declaration& declaration) const;
  SourcePlace PlaceAt(uint32_t file, uint32_t offset) const { return {files[file], offset, ""}; }

  const std::vector<std::string>& files;
  const PolicyModel& pools;                 // holds the name and path pools every file shares
  std::vector<const SourceIndex*> indexes;  // by file
  Diagnostics diagnostics;
  bool allRead = true;  // every file could be read and parsed
  // By name: where it is declared as type, as attribute (first per file),
  // and whether anything but a declaration names it.
  std::vector<std::vector<Declaration>> typeDeclarations;
  std::vector<std::vector<Declaration>> attrDeclarations;
  std::vector<bool> used;
};

// Adds the warnings of the policy.
void Warn(PolicyFacts& facts);
