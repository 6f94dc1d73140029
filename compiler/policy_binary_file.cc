#include "compiler/policy_binary_file.h"

#include <cstdlib>
#include <memory>

#include "base/huge_pages.h"
#include "compiler/calloc_or_terminate.h"
#include "compiler/output_file.h"
#include "ruledb/policy_binary.h"

PolicyBinaryResult WritePolicyBinaryFile(const std::string& path, const RuleDataBase& db,
                                         int32_t& status) {
  // A fresh calloc block of this size comes straight from the kernel as
  // untouched zero pages, so a small policy costs only the pages it fills.
  const std::unique_ptr<uint8_t, decltype(&free)> buffer(
      static_cast<uint8_t*>(CallocOrTerminate(POLICY_BUFFER_SIZE)), &free);
  AdviseHugePages(buffer.get(), POLICY_BUFFER_SIZE);
  PolicyCursor cursor{buffer.get(), POLICY_BUFFER_SIZE};
  status = RuleDataBaseWrite(&db, &cursor);
  if (status != 0) return PolicyBinaryResult::kSerializeFailed;
  OutputFile file;
  if (!file.Open(path)) return PolicyBinaryResult::kOpenFailed;
  file.Write(buffer.get(), POLICY_BUFFER_SIZE - cursor.remaining);
  return file.Commit() ? PolicyBinaryResult::kDone : PolicyBinaryResult::kWriteFailed;
}
