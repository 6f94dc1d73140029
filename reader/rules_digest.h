// The "rules" section of one source file, read as far as it can be without
// the name pool: the texts each rule names, hashed, in the order the pool
// is to take them, and the rules as positions in that list.
//
// Reading a million rules is mostly walking the JSON tree, checking its
// shape and looking classes and operations up. Done apart from the pool, the
// texts can then be interned in one batch (NamePool::InternAll), whose
// lookups overlap their waits for memory.
//
// A digest stops where the reading would fail and keeps the lines it logged
// then; they are written when the reader reaches the failure in its turn,
// after any failure that storing the entries before it finds.
#pragma once

#include <cstdint>
#include <vector>

#include "base/log.h"
#include "reader/name_pool.h"

// A grant entry; the fields are positions in RulesDigest::texts.
struct DigestedGrant {
  uint32_t subject;
  uint32_t object;
  uint32_t cls;
  uint32_t operations;  // as GrantRule::operations
  uint16_t classIndex;  // as GrantRule::classIndex
};

// An operation that the (known) class of grants[grant] lacks.
struct DigestedUnknownOperation {
  uint32_t grant;      // position in RulesDigest::grants
  uint32_t operation;  // position in RulesDigest::texts
};

// A transition entry; the fields are positions in RulesDigest::texts.
struct DigestedTransition {
  uint32_t subject;
  uint32_t object;
  uint32_t cls;
  uint32_t target;
};

struct RulesDigest {
  // Every name the rules give, in reading order: a statement's subject, then
  // each grant entry's object, class and unknown operations, then each
  // transition entry's object, class and target. Interning them in this
  // order gives each text the id that reading rule by rule would.
  std::vector<HashedText> texts;
  std::vector<DigestedGrant> grants;  // in reading order
  std::vector<DigestedUnknownOperation> unknownOperations;
  std::vector<DigestedTransition> transitions;  // in reading order
  // The reading fails after the entries above; `log` holds its lines.
  bool failed = false;
  std::vector<HeldLogLine> log;
};
