// Interned texts of one policy model: names, paths and class texts.
//
// A policy names the same few tens of thousands of types in millions of rule
// fields. Keeping each text once and referring to it by a small integer id
// makes the rule containers flat arrays of integers: comparing or looking up
// a field is an integer operation, and a model costs no allocation per rule.
// Ids are dense, 0 upwards in order of first interning; they say nothing
// about the byte order of the texts, which SortByText restores where key
// order is observable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using NameId = uint32_t;

class NamePool {
 public:
  // The id of `text`, adding it when the pool does not hold it yet.
  NameId Intern(std::string_view text);
  // The id of `text`, or nothing when the pool does not hold it.
  std::optional<NameId> Find(std::string_view text) const;

  std::string_view Text(NameId id) const {
    const Entry& entry = entries_[id];
    return {storage_.data() + entry.offset, entry.length};
  }
  // The same text, NUL-terminated (texts hold no NUL of their own).
  const char* CText(NameId id) const { return storage_.data() + entries_[id].offset; }
  size_t size() const { return entries_.size(); }

  // True when the text of `a` orders before that of `b`, byte by byte as
  // unsigned bytes, a proper prefix first.
  bool Less(NameId a, NameId b) const { return Text(a) < Text(b); }
  // Sorts `ids` into the byte order of their texts.
  void SortByText(std::span<NameId> ids) const;

 private:
  struct Entry {
    size_t offset;    // of the text in storage_
    uint32_t length;  // bytes, without the NUL
  };
  // A slot holds an id and its text's hash, so that a probe compares texts
  // only on a full hash match and touches entries_ and storage_ once.
  struct Slot {
    NameId id;
    uint32_t hash;
  };
  static constexpr NameId kEmptySlot = UINT32_MAX;

  size_t SlotOf(std::string_view text, uint32_t hash) const;
  void Grow();

  std::string storage_;          // the texts, each followed by a NUL
  std::vector<Entry> entries_;   // indexed by id
  std::vector<Slot> slots_;      // open addressing by hash; id kEmptySlot when free
};
