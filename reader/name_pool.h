// Interned texts of one policy model: names, paths and class texts.
//
// A policy names the same few tens of thousands of types in millions of rule
// fields. Keeping each text once and referring to it by a small integer id
// makes the rule containers flat arrays of integers: comparing or looking up
// a field is an integer operation, and a model costs no allocation per rule.
// Ids are dense, 0 upwards in order of first interning; they say nothing
// about the byte order of the texts, which SortByText restores where key
// order is observable.
//
// A NamePool is a handle: copies share one pool. The reader gives every
// per-file model the pool of the merged model, so a file's ids are already
// the merged model's and merging copies rules without translating a name.
// Texts are only ever added, so every id stays valid for every holder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/huge_pages.h"

using NameId = uint32_t;

// A text with its hash in a NamePool, worked out before the pool is at hand,
// on another thread for instance.
struct HashedText {
  const char* text;  // not necessarily NUL-terminated
  uint32_t length;
  uint32_t hash;

  std::string_view View() const { return {text, length}; }
};

HashedText HashText(std::string_view text);

class NamePool {
 public:
  // The id of `text`, adding it when the pool does not hold it yet.
  NameId Intern(std::string_view text);
  // Intern of each of `texts`, in order, into the same place of `ids`;
  // faster than one at a time for a batch of names the pool may hold
  // already.
  void InternAll(std::span<const std::string_view> texts, std::span<NameId> ids);
  void InternAll(std::span<const HashedText> texts, std::span<NameId> ids);
  // The id of `text`, or nothing when the pool does not hold it.
  std::optional<NameId> Find(std::string_view text) const;
  // Makes room for `more` new texts at once, rather than as they come.
  void Reserve(size_t more);

  std::string_view Text(NameId id) const {
    const char* text = shared->entries[id];
    return {text, LengthOf(text)};
  }
  // The same text, NUL-terminated (texts hold no NUL of their own).
  const char* CText(NameId id) const { return shared->entries[id]; }
  size_t size() const { return shared->entries.size(); }
  // True when this handle and `other` share one pool.
  bool SharesWith(const NamePool& other) const { return shared == other.shared; }

  // True when the text of `a` orders before that of `b`, byte by byte as
  // unsigned bytes, a proper prefix first.
  bool Less(NameId a, NameId b) const { return Text(a) < Text(b); }
  // Sorts `ids` into the byte order of their texts.
  void SortByText(std::span<NameId> ids) const;

 private:
  // The length of a stored text, which stands in front of it.
  static uint32_t LengthOf(const char* stored) {
    uint32_t length;
    std::memcpy(&length, stored - sizeof(length), sizeof(length));
    return length;
  }
  // A slot holds what a probe needs - the hash, the text and the id - so a
  // lookup touches the slot and, on a full hash match, the text: the pool
  // of a large policy outgrows the caches, and each extra hop costs a miss.
  struct Slot {
    uint32_t hash;
    NameId id;         // EMPTY_SLOT when the slot is free
    const char* text;  // as in entries
  };
  static constexpr NameId EMPTY_SLOT = UINT32_MAX;
  static constexpr size_t CHUNK_SIZE = HUGE_PAGE_SIZE;

  struct Pool {
    // The texts, each after its length (32 bits) and followed by a NUL, in
    // chunks that never move, so slots and entries can point at them.
    std::vector<BlockPtr<char>> chunks;
    char* next = nullptr;  // the free bytes of the last chunk: [next, end)
    char* end = nullptr;
    HugePageVector<const char*> entries;  // the texts, by id
    HugePageVector<Slot> slots;     // open addressing by hash; a power of two
  };

  // Makes room in the slots for `more` new texts, so that they stay put
  // meanwhile.
  void MakeRoom(size_t more);
  // Intern, with `hash` the text's hash and room made.
  NameId InternHashed(std::string_view text, uint32_t hash);
  size_t SlotOf(std::string_view text, uint32_t hash) const;
  void Grow();
  const char* Store(std::string_view text);

  std::shared_ptr<Pool> shared = std::make_shared<Pool>();
};

// Orders ids by the byte order of their texts in `pool`.
struct ByText {
  const NamePool& pool;
  bool operator()(NameId a, NameId b) const { return pool.Less(a, b); }
};
