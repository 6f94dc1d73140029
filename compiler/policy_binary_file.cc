#include "compiler/policy_binary_file.h"

#include <exception>
#include <memory>

#include "base/huge_pages.h"
#include "compiler/output_file.h"
#include "ruledb/policy_binary.h"

namespace {

// Big enough that a write costs little next to the bytes it carries.
constexpr size_t STREAM_BUFFER_SIZE = size_t{1} << 20;

void WriteToFile(void* file, const uint8_t* bytes, size_t count) {
  static_cast<OutputFile*>(file)->Write(bytes, count);
}

// Serialises `db` into `file` as it goes, within the same room as the
// whole-image buffer.
int32_t StreamImage(const RuleDataBase& db, OutputFile& file) {
  HugePageVector<uint8_t> buffer(STREAM_BUFFER_SIZE);
  PolicySink sink{WriteToFile, &file, buffer.data(), buffer.size(), POLICY_BUFFER_SIZE};
  PolicyCursor cursor = PolicySinkCursor(&sink);
  const int32_t status = RuleDataBaseWrite(&db, &cursor);
  if (status == 0) PolicySinkFlush(&cursor);
  return status;
}

PolicyBinaryResult WriteWholeImage(const std::string& path, const RuleDataBase& db,
                                   int32_t& status) {
  // A fresh block of this size comes straight from the kernel as untouched
  // zero pages, so a small policy costs only the pages it fills. Like an
  // allocation inside the standard containers, a failure here ends the
  // process.
  const BlockPtr<uint8_t> buffer(static_cast<uint8_t*>(AllocateBlock(POLICY_BUFFER_SIZE, true)),
                                 BlockRelease{POLICY_BUFFER_SIZE});
  if (buffer == nullptr) std::terminate();
  PolicyCursor cursor{buffer.get(), POLICY_BUFFER_SIZE};
  status = RuleDataBaseWrite(&db, &cursor);
  if (status != 0) return PolicyBinaryResult::SERIALIZE_FAILED;
  OutputFile file;
  if (!file.Open(path)) return PolicyBinaryResult::OPEN_FAILED;
  file.Write(buffer.get(), POLICY_BUFFER_SIZE - cursor.remaining);
  return file.Commit() ? PolicyBinaryResult::DONE : PolicyBinaryResult::WRITE_FAILED;
}

}  // namespace

PolicyBinaryResult WritePolicyBinaryFile(const std::string& path, const RuleDataBase& db,
                                         int32_t& status) {
  OutputFile file;
  // Written in place, or not to be opened at all: the whole image first,
  // which also tells a serialisation failure before the failure to open.
  if (!file.OpenReplacing(path)) return WriteWholeImage(path, db, status);
  status = StreamImage(db, file);
  if (status != 0) return PolicyBinaryResult::SERIALIZE_FAILED;
  return file.Commit() ? PolicyBinaryResult::DONE : PolicyBinaryResult::WRITE_FAILED;
}
