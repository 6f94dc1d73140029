// The one order key of rules: a subject, an object, a class and a kind
// field packed into one number, most significant first, so that millions of
// rules sort and merge by comparing integers. What a field holds is the
// caller's choice: a value of the rule table key as it is, or a place in an
// order of names, classes or kinds. Every key that orders rules, in the
// compiler and in the tools, is made here; the widths are checked below
// against what the fields must hold.
#pragma once

#include <cassert>
#include <cstdint>

#include "base/class_table.h"
#include "ruledb/rule_data_base.h"

inline constexpr unsigned RULE_ORDER_KIND_BITS = 12;
inline constexpr unsigned RULE_ORDER_CLASS_BITS = 16;
inline constexpr unsigned RULE_ORDER_OBJECT_BITS = 18;
inline constexpr unsigned RULE_ORDER_SUBJECT_BITS = 18;

inline constexpr unsigned RULE_ORDER_CLASS_SHIFT = RULE_ORDER_KIND_BITS;
inline constexpr unsigned RULE_ORDER_OBJECT_SHIFT = RULE_ORDER_CLASS_SHIFT + RULE_ORDER_CLASS_BITS;
inline constexpr unsigned RULE_ORDER_SUBJECT_SHIFT =
    RULE_ORDER_OBJECT_SHIFT + RULE_ORDER_OBJECT_BITS;

static_assert(RULE_ORDER_SUBJECT_SHIFT + RULE_ORDER_SUBJECT_BITS == 64,
              "the fields fill one 64-bit number");
// A subject or object field holds a symbol value, or the place of a name
// among the names of two policies together (polcq diff).
static_assert((uint64_t{1} << RULE_ORDER_SUBJECT_BITS) >= 2 * uint64_t{SYMBOL_VALUE_COUNT});
static_assert((uint64_t{1} << RULE_ORDER_OBJECT_BITS) >= 2 * uint64_t{SYMBOL_VALUE_COUNT});
// The class field holds any class value of a rule table key as it is (the
// order of a crafted table too), or the place of one among those a listing
// shows, or ClassNameRank.
static_assert(RULE_ORDER_CLASS_BITS >= 8 * sizeof(RuleTblKey::tclass));
static_assert(CLASS_COUNT < (1u << RULE_ORDER_CLASS_BITS));
// The kind field holds every kind polc writes; RuleOrderFits tells whether a
// crafted key's kind fits.
static_assert(RULE_GRANT < (1u << RULE_ORDER_KIND_BITS) &&
              RULE_TRANSITION < (1u << RULE_ORDER_KIND_BITS));

// The key of the four fields; each must fit its width.
constexpr uint64_t RuleOrderKey(uint32_t subject, uint32_t object, uint32_t tclass, uint32_t kind) {
  assert(subject >> RULE_ORDER_SUBJECT_BITS == 0 && object >> RULE_ORDER_OBJECT_BITS == 0 &&
         tclass >> RULE_ORDER_CLASS_BITS == 0 && kind >> RULE_ORDER_KIND_BITS == 0);
  return uint64_t{subject} << RULE_ORDER_SUBJECT_SHIFT |
         uint64_t{object} << RULE_ORDER_OBJECT_SHIFT | uint64_t{tclass} << RULE_ORDER_CLASS_SHIFT |
         kind;
}

// The subject and object fields of a key.
constexpr uint32_t RuleOrderSubject(uint64_t key) {
  return static_cast<uint32_t>(key >> RULE_ORDER_SUBJECT_SHIFT);
}
constexpr uint32_t RuleOrderObject(uint64_t key) {
  return static_cast<uint32_t>(key >> RULE_ORDER_OBJECT_SHIFT &
                               ((uint64_t{1} << RULE_ORDER_OBJECT_BITS) - 1));
}

// Whether the rule table key fits RuleTableOrder: its kind fits the field.
constexpr bool RuleOrderFits(const RuleTblKey& key) {
  return key.specified >> RULE_ORDER_KIND_BITS == 0;
}

// The rule table's own order (RuleTblCmp): source, target, tclass, specified.
constexpr uint64_t RuleTableOrder(const RuleTblKey& key) {
  return RuleOrderKey(key.source, key.target, key.tclass, key.specified);
}
