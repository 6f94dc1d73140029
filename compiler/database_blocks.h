// Heap blocks and table entries for the rule database. The database owns
// every block once it is linked in and releases it with free (in
// RuleDataBaseDestory), so blocks come from calloc, never from new.
#pragma once

#include <cstdlib>
#include <string>

#include "ruledb/hash_tbl.h"

// `count` zero-filled T, or null when memory is short.
template <typename T>
T* NewZeroedBlock(size_t count = 1) {
  return static_cast<T*>(calloc(count, sizeof(T)));
}

// How preparing a block went; a later value is the worse outcome.
enum class BlockStatus {
  kOk,
  kCopyFailed,  // strcpy_s refused the copy
  kNoMemory,    // an allocation failed
};

// kNoMemory for a null block, else kOk.
inline BlockStatus AllocationStatus(const void* block) {
  return block == nullptr ? BlockStatus::kNoMemory : BlockStatus::kOk;
}

// The worse of two outcomes.
inline BlockStatus Worse(BlockStatus a, BlockStatus b) { return a > b ? a : b; }

// A zero-filled heap copy of the NUL-terminated `text` in `*copy` (null
// unless kOk; nothing is left allocated otherwise).
BlockStatus CopyToHeap(const char* text, char** copy);

// The log lines of one kind of table entry, for InsertTableEntry.
struct EntryMessages {
  const char* noMemory;      // an allocation failed
  const char* copyFailed;    // a string copy failed
  const char* insertFailed;  // HashTblInsert failed
};

// Hands `key` and `datum` to `table` when `status` is kOk (a null block
// must have been reported in `status`). When `status` reports a failure or
// the insert fails, logs the matching line, releases both blocks (null is
// fine) and returns -1 or the insert's status.
int InsertTableEntry(HashTbl* table, BlockStatus status, void* key, void* datum,
                     const EntryMessages& messages);
