#include "compiler/policy_binary_file.h"

#include <utility>

#include "base/huge_pages.h"
#include "compiler/calloc_or_terminate.h"

PolicyBinaryFile::PolicyBinaryFile(std::string path) : path_(std::move(path)) {}

void PolicyBinaryFile::Serialize(int32_t (*part)(const RuleDataBase*, PolicyCursor*),
                                 const RuleDataBase& db) {
  if (buffer_ == nullptr) {
    // A fresh calloc block of this size comes straight from the kernel as
    // untouched zero pages, so a small policy costs only the pages it fills.
    buffer_.reset(static_cast<uint8_t*>(CallocOrTerminate(POLICY_BUFFER_SIZE)));
    AdviseHugePages(buffer_.get(), POLICY_BUFFER_SIZE);
    cursor_ = {buffer_.get(), POLICY_BUFFER_SIZE};
  }
  if (status_ == 0) status_ = part(&db, &cursor_);
}

void PolicyBinaryFile::WriteSerialized() {
  const size_t serialized = POLICY_BUFFER_SIZE - cursor_.remaining;
  file_.Write(buffer_.get() + written_, serialized - written_);
  written_ = serialized;
}

void PolicyBinaryFile::WriteHead(const RuleDataBase& db) {
  Serialize(RuleDataBaseWriteHead, db);
  headDone_ = true;
  if (status_ == 0 && file_.OpenReplacing(path_)) {
    opened_ = true;
    WriteSerialized();
  }
}

PolicyBinaryFile::Result PolicyBinaryFile::Finish(const RuleDataBase& db, int32_t& status) {
  if (!headDone_) Serialize(RuleDataBaseWriteHead, db);
  Serialize(RuleDataBaseWriteRules, db);
  if (status_ != 0) {
    status = status_;
    return Result::kSerializeFailed;
  }
  if (!opened_ && !file_.Open(path_)) return Result::kOpenFailed;
  opened_ = true;
  WriteSerialized();
  return file_.Commit() ? Result::kDone : Result::kWriteFailed;
}
