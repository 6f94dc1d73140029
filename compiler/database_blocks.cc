#include "compiler/database_blocks.h"

#include <cstring>

#include "base/log.h"
#include "bounded/bounded.h"

BlockStatus CopyToHeap(const char* text, char** copy) {
  *copy = nullptr;
  const size_t size = std::strlen(text) + 1;
  char* block = NewZeroedBlock<char>(size);
  if (block == nullptr) {
    return BlockStatus::NO_MEMORY;
  }
  if (bounded::strcpy_s(block, size, text) != 0) {
    free(block);
    return BlockStatus::COPY_FAILED;
  }
  *copy = block;
  return BlockStatus::OK;
}

void LogFillFailure(int status, const EntryMessages& messages) {
  Log(LOG_ERR, "%s", status == RULEDB_ENOMEM ? messages.noMemory : messages.insertFailed);
}
