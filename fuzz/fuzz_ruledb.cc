// Reads arbitrary bytes as a binary policy into a fresh database. When the
// read succeeds and the database can be written again, that image must read
// back and write to the very same bytes. The database is always destroyed,
// so the sanitizers see every block the reader and destroy touch.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "ruledb/sys_log.h"

namespace {

void DiscardSysLog(int, const char*, ...) {}

// A written image: the bytes and the write status.
struct Image {
  int32_t status;
  std::vector<uint8_t> bytes;
};

Image Write(const RuleDataBase* db, size_t capacity) {
  std::vector<uint8_t> buffer(capacity);
  PolicyCursor cursor{buffer.data(), capacity};
  int32_t status = RuleDataBaseWrite(db, &cursor);
  buffer.resize(capacity - cursor.remaining);
  return {status, buffer};
}

int32_t Read(std::vector<uint8_t> bytes, RuleDataBase* db) {
  PolicyCursor cursor{bytes.data(), bytes.size()};
  return RuleDataBaseRead(db, &cursor);
}

// write(read(image)) == image for an image the writer produced.
void CheckRoundTrip(const std::vector<uint8_t>& image) {
  RuleDataBase db{};
  if (Read(image, &db) != 0) {
    abort();
  }
  Image again = Write(&db, image.size());
  RuleDataBaseDestory(&db);
  if (again.status != 0 || again.bytes != image) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetRuleDbSysLog(DiscardSysLog);
  RuleDataBase db{};
  if (Read(std::vector<uint8_t>(data, data + size), &db) == 0) {
    // Names cut short by a NUL byte may make the database unwritable; an image
    // never grows, since every written byte was read.
    Image written = Write(&db, size);
    if (written.status == 0) {
      CheckRoundTrip(written.bytes);
    }
  }
  RuleDataBaseDestory(&db);
  return 0;
}
