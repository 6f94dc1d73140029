// Heap blocks and table entries for the rule database. The database owns
// every block once it is linked in and releases it with free (in
// RuleDataBaseDestory), so blocks come from calloc, never from new. String
// tables are filled in one pass instead: the fill copies the texts into
// storage of the table's own, so entries point at the model's texts.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <type_traits>

#include "ruledb/hash_tbl.h"
#include "ruledb/rule_data_base.h"

// `count` zero-filled T, or null when memory is short.
template <typename T>
T* NewZeroedBlock(size_t count = 1) {
  return static_cast<T*>(calloc(count, sizeof(T)));
}

// How preparing a block went; a later value is the worse outcome.
enum class BlockStatus {
  OK,
  COPY_FAILED,  // strcpy_s refused the copy
  NO_MEMORY,    // an allocation failed
};

// A zero-filled heap copy of the NUL-terminated `text` in `*copy` (null
// unless OK; nothing is left allocated otherwise).
BlockStatus CopyToHeap(const char* text, char** copy);

// The log lines of one string table, for FillStringTable.
struct EntryMessages {
  const char* noMemory;      // the fill ran out of memory
  const char* insertFailed;  // the fill refused the entries
};

// One entry of a string table: the key text and the datum, a text (copied
// with its NUL) or a fixed-size value.
template <typename Datum>
struct StringTableEntry {
  const char* key;
  Datum datum;
};

// Logs the line of `messages` that matches a failed fill's `status`.
void LogFillFailure(int status, const EntryMessages& messages);

// Fills `table` with `entries` in one pass (StrTblFill), the texts copied
// into storage the table owns; the entries may come in any order. 0, or the
// fill's status after the matching line of `messages`.
template <typename Datum>
int FillStringTable(HashTbl* table, std::span<const StringTableEntry<Datum>> entries,
                    const EntryMessages& messages) {
  if (entries.empty()) {
    return 0;
  }
  constexpr size_t DATUM_SIZE = std::is_same_v<Datum, const char*> ? HASH_TBL_TEXT : sizeof(Datum);
  const int status =
      StrTblFill(table, &entries.front().key, &entries.front().datum, DATUM_SIZE,
                 sizeof(StringTableEntry<Datum>), static_cast<uint32_t>(entries.size()));
  if (status != 0) {
    LogFillFailure(status, messages);
  }
  return status;
}
