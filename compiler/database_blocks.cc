#include "compiler/database_blocks.h"

#include <cstring>

#include "bounded/bounded.h"
#include "reader/log.h"

BlockStatus CopyToHeap(const char* text, char** copy) {
  *copy = nullptr;
  const size_t size = std::strlen(text) + 1;
  char* block = NewZeroedBlock<char>(size);
  if (block == nullptr) {
    return BlockStatus::kNoMemory;
  }
  if (bounded::strcpy_s(block, size, text) != 0) {
    free(block);
    return BlockStatus::kCopyFailed;
  }
  *copy = block;
  return BlockStatus::kOk;
}

int InsertTableEntry(HashTbl* table, BlockStatus status, void* key, void* datum,
                     const EntryMessages& messages) {
  int result = -1;
  if (status == BlockStatus::kNoMemory) {
    Log(LOG_ERR, "%s", messages.noMemory);
  } else if (status == BlockStatus::kCopyFailed) {
    Log(LOG_ERR, "%s", messages.copyFailed);
  } else {
    result = HashTblInsert(table, key, datum);
    if (result == 0) {
      return 0;
    }
    Log(LOG_ERR, "%s", messages.insertFailed);
  }
  free(key);
  free(datum);
  return result;
}
