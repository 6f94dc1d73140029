#include "reader/name_pool.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// A multiplicative hash over 8-byte words: the pool hashes every name of
// every rule field once, so it must cost a few cycles per word, not per byte.
// The last bytes are read in loads that may overlap those before them.
uint64_t Mix(uint64_t hash, uint64_t word) {
  constexpr uint64_t MULTIPLIER = 0x9E3779B97F4A7C15ull;
  hash = (hash ^ word) * MULTIPLIER;
  return hash ^ (hash >> 29);
}

template <typename T>
uint64_t Load(const char* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

uint32_t HashOf(std::string_view text) {
  const char* bytes = text.data();
  const size_t size = text.size();
  uint64_t hash = size * 0x9E3779B97F4A7C15ull;
  size_t pos = 0;
  for (; pos + 8 < size; pos += 8) hash = Mix(hash, Load<uint64_t>(bytes + pos));
  if (size >= 8) {
    hash = Mix(hash, Load<uint64_t>(bytes + size - 8));
  } else if (size >= 4) {
    hash = Mix(hash, Load<uint32_t>(bytes) << 32 | Load<uint32_t>(bytes + size - 4));
  } else if (size > 0) {
    hash = Mix(hash, uint64_t{static_cast<unsigned char>(bytes[0])} << 16 |
                         uint64_t{static_cast<unsigned char>(bytes[size / 2])} << 8 |
                         static_cast<unsigned char>(bytes[size - 1]));
  }
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

}  // namespace

HashedText HashText(std::string_view text) {
  return {text.data(), static_cast<uint32_t>(text.size()), HashOf(text)};
}

size_t NamePool::SlotOf(std::string_view text, uint32_t hash) const {
  const HugePageVector<Slot>& slots = shared->slots;
  const size_t mask = slots.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const Slot& entry = slots[slot];
    if (entry.id == EMPTY_SLOT) return slot;
    if (entry.hash == hash && LengthOf(entry.text) == text.size() &&
        std::memcmp(entry.text, text.data(), text.size()) == 0) {
      return slot;
    }
  }
}

void NamePool::Grow() {
  HugePageVector<Slot>& old = shared->slots;
  HugePageVector<Slot> slots(old.empty() ? 64 : old.size() * 2, Slot{0, EMPTY_SLOT, nullptr});
  const size_t mask = slots.size() - 1;
  for (const Slot& entry : old) {
    if (entry.id == EMPTY_SLOT) continue;
    size_t slot = entry.hash & mask;
    while (slots[slot].id != EMPTY_SLOT) slot = (slot + 1) & mask;
    slots[slot] = entry;
  }
  old = std::move(slots);
}

const char* NamePool::Store(std::string_view text) {
  Pool& pool = *shared;
  const auto length = static_cast<uint32_t>(text.size());
  const size_t size = sizeof(length) + text.size() + 1;
  if (static_cast<size_t>(pool.end - pool.next) < size) {
    const size_t chunkSize = std::max(size, CHUNK_SIZE);
    pool.chunks.push_back(NewBlock<char>(chunkSize));
    if (pool.chunks.back() == nullptr) throw std::bad_alloc();
    pool.next = pool.chunks.back().get();
    pool.end = pool.next + chunkSize;
  }
  std::memcpy(pool.next, &length, sizeof(length));
  char* stored = pool.next + sizeof(length);
  std::memcpy(stored, text.data(), text.size());
  stored[text.size()] = '\0';
  pool.next += size;
  return stored;
}

void NamePool::MakeRoom(size_t more) {
  // At most half full, so probes stay short.
  while ((shared->entries.size() + more) * 2 > shared->slots.size()) Grow();
}

void NamePool::Reserve(size_t more) {
  MakeRoom(more);
  // Growing as push_back would: a pool reserved for file after file must
  // not move its entries for each.
  HugePageVector<const char*>& entries = shared->entries;
  if (entries.size() + more > entries.capacity()) {
    entries.reserve(std::max(entries.size() + more, 2 * entries.capacity()));
  }
}

NameId NamePool::Intern(std::string_view text) {
  MakeRoom(1);
  return InternHashed(text, HashOf(text));
}

void NamePool::InternAll(std::span<const std::string_view> texts, std::span<NameId> ids) {
  std::vector<HashedText> hashed(texts.size());
  std::transform(texts.begin(), texts.end(), hashed.begin(), HashText);
  InternAll(hashed, ids);
}

void NamePool::InternAll(std::span<const HashedText> texts, std::span<NameId> ids) {
  // Each lookup of a large pool waits for memory twice, for its slot and
  // for the text there. Asking for a run of slots, then for their texts,
  // before the run's first lookup lets those waits overlap instead of
  // adding up; a short run keeps what was asked for in the cache until it
  // is used.
  constexpr size_t RUN = 32;
  for (size_t first = 0; first < texts.size(); first += RUN) {
    const std::span<const HashedText> run =
        texts.subspan(first, std::min(RUN, texts.size() - first));
    MakeRoom(run.size());
    const HugePageVector<Slot>& slots = shared->slots;
    const size_t mask = slots.size() - 1;
    for (const HashedText& text : run) __builtin_prefetch(&slots[text.hash & mask]);
    for (const HashedText& text : run) __builtin_prefetch(slots[text.hash & mask].text);
    for (size_t i = 0; i < run.size(); ++i)
      ids[first + i] = InternHashed(run[i].View(), run[i].hash);
  }
}

NameId NamePool::InternHashed(std::string_view text, uint32_t hash) {
  Pool& pool = *shared;
  const size_t slot = SlotOf(text, hash);
  if (pool.slots[slot].id != EMPTY_SLOT) return pool.slots[slot].id;
  const auto id = static_cast<NameId>(pool.entries.size());
  const char* stored = Store(text);
  pool.entries.push_back(stored);
  pool.slots[slot] = {hash, id, stored};
  return id;
}

std::optional<NameId> NamePool::Find(std::string_view text) const {
  if (shared->slots.empty()) return std::nullopt;
  const NameId id = shared->slots[SlotOf(text, HashOf(text))].id;
  if (id == EMPTY_SLOT) return std::nullopt;
  return id;
}

void NamePool::SortByText(std::span<NameId> ids) const {
  std::sort(ids.begin(), ids.end(), ByText{*this});
}
