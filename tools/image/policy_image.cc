#include "tools/image/policy_image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/huge_pages.h"
#include "ruledb/policy_binary.h"
#include "ruledb/sys_log.h"

namespace {

// Releases the database's contents once, on every path.
class DatabaseGuard {
 public:
  explicit DatabaseGuard(RuleDataBase& db) : db(db) {}
  ~DatabaseGuard() { RuleDataBaseDestory(&db); }
  DatabaseGuard(const DatabaseGuard&) = delete;
  DatabaseGuard& operator=(const DatabaseGuard&) = delete;

 private:
  RuleDataBase& db;
};

// Keeps the rule database's system-log channel quiet while alive: a tool
// shows the reader's failure itself (RuleDbReadFailure).
__attribute__((format(printf, 2, 3))) void IgnoreRuleDbMessage(int, const char*, ...) {}

class SilencedRuleDbLog {
 public:
  SilencedRuleDbLog() : previous(SetRuleDbSysLog(IgnoreRuleDbMessage)) {}
  ~SilencedRuleDbLog() { SetRuleDbSysLog(previous); }
  SilencedRuleDbLog(const SilencedRuleDbLog&) = delete;
  SilencedRuleDbLog& operator=(const SilencedRuleDbLog&) = delete;

 private:
  SysLogFunc previous;
};

const char* StatusMeaning(int32_t status) {
  switch (status) {
    case RULEDB_EINVAL:
      return "invalid or truncated data";
    case RULEDB_ENOMEM:
      return "a value out of range, or memory exhausted";
    case RULEDB_EEXIST:
      return "a repeated name";
    default:
      return "unexpected status";
  }
}

// "Mismatched magic number (magic=0x1)".
std::string Describe(const RuleDbReadFailure& failure) {
  std::string text = failure.what[0] == '\0' ? "Read failed" : failure.what;
  if (failure.detail[0] != '\0') text += std::string(" (") + failure.detail + ")";
  return text;
}

std::string ReadFailure(int32_t status, const RuleDbReadFailure& failure, uint64_t offset,
                        uint64_t fileSize) {
  if (fileSize < POLICY_HEADER_SIZE) {
    return "file of " + std::to_string(fileSize) + " bytes is shorter than the " +
           std::to_string(POLICY_HEADER_SIZE) + "-byte header";
  }
  const std::string what = Describe(failure);
  return what + ": " + StatusMeaning(status) + " (status " + std::to_string(status) +
         "); reading stopped at offset " + std::to_string(offset) + " of " +
         std::to_string(fileSize) + " bytes";
}

int32_t CopySymbol(void* key, void* datum, void* arg) {
  auto& symbols = *static_cast<std::vector<SymbolRecord>*>(arg);
  symbols.push_back({*static_cast<const uint32_t*>(datum), static_cast<const char*>(key)});
  return 0;
}

int32_t CopyFileContext(void* key, void* datum, void* arg) {
  auto& fileContexts = *static_cast<std::vector<FileContextRecord>*>(arg);
  fileContexts.push_back({static_cast<const char*>(key), static_cast<const char*>(datum)});
  return 0;
}

int32_t CopyRule(void* key, void* datum, void* arg) {
  auto& rules = *static_cast<std::vector<RuleRecord>*>(arg);
  rules.push_back(
      {*static_cast<const RuleTblKey*>(key), static_cast<const RuleTblDatum*>(datum)->value});
  return 0;
}

void CopyObjectContexts(const RuleDataBase& db, PolicyImage& image) {
  for (const ObjCtx* sid = db.objCtxs[OBJ_CTX_INITIAL_SID]; sid != nullptr; sid = sid->next) {
    image.initialSids.push_back({sid->sid, sid->type});
  }
  for (const ObjCtx* netif = db.objCtxs[OBJ_CTX_NETIF]; netif != nullptr; netif = netif->next) {
    image.netifs.push_back({netif->name, netif->type});
  }
  for (const ObjCtx* packet = db.objCtxs[OBJ_CTX_PACKET]; packet != nullptr;
       packet = packet->next) {
    image.packets.push_back({packet->protocol, packet->sourceAddress, packet->sourceMask,
                             packet->destinationAddress, packet->destinationMask,
                             packet->sportStart, packet->sportEnd, packet->dportStart,
                             packet->dportEnd, packet->type});
  }
}

void CopyTypeAttrs(const RuleDataBase& db, PolicyImage& image) {
  if ((db.flags & FLAG_TYPEATTR) == 0 || db.typeToAttrsArr == nullptr) return;
  for (uint32_t value = 0; value < db.typeToAttrsCount; ++value) {
    const TypeAttrs& entry = db.typeToAttrsArr[value];
    image.typeAttrs.emplace_back(entry.values, entry.values + entry.count);
  }
}

void CopyDatabase(const RuleDataBase& db, PolicyImage& image) {
  image.version = db.version;
  image.flags = db.flags;
  HashTblMap(&db.symTbl, CopySymbol, &image.symbols);
  CopyObjectContexts(db, image);
  HashTblMap(&db.fileCtxTbl, CopyFileContext, &image.fileContexts);
  CopyTypeAttrs(db, image);
  HashTblMap(&db.ruleTbl, CopyRule, &image.rules);
}

// Whether the writer turns `db` back into exactly the image's bytes.
bool RewritesIdentically(const RuleDataBase& db, std::span<const uint8_t> bytes,
                         uint64_t imageSize) {
  std::vector<uint8_t> rewritten(imageSize);
  PolicyCursor cursor{rewritten.data(), imageSize};
  return RuleDataBaseWrite(&db, &cursor) == 0 && cursor.remaining == 0 &&
         std::memcmp(rewritten.data(), bytes.data(), imageSize) == 0;
}

// Whole file into `bytes`; an error text naming the cause, or empty.
std::string ReadWholeFile(const std::string& path, HugePageVector<uint8_t>& bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  // The size a regular file says it has, so that the bytes are not moved
  // each time the vector grows; the reads below decide what is there.
  struct stat status {};
  if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<uint64_t>(status.st_size) <= POLICY_BUFFER_SIZE) {
    bytes.reserve(static_cast<size_t>(status.st_size) + 1);
  }
  uint8_t buffer[65536];
  size_t count;
  while (bytes.size() <= POLICY_BUFFER_SIZE &&
         (count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
  const int readError = std::ferror(file) != 0 ? errno : 0;
  std::fclose(file);
  if (readError != 0) return std::strerror(readError);
  if (bytes.size() > POLICY_BUFFER_SIZE) {
    return "larger than " + std::to_string(POLICY_BUFFER_SIZE) + " bytes, the most polc writes";
  }
  return "";
}

}  // namespace

std::string ReadPolicyImageByDatabase(std::span<const uint8_t> bytes, PolicyImage& image,
                                      RewriteCheck rewriteCheck) {
  const SilencedRuleDbLog silence;
  image = PolicyImage{};
  image.fileSize = bytes.size();
  RuleDataBase db{};
  const DatabaseGuard guard(db);
  // The reader never writes through the cursor.
  PolicyCursor cursor{const_cast<uint8_t*>(bytes.data()), bytes.size()};
  RuleDbReadFailure failure;
  const int32_t status = RuleDataBaseRead(&db, &cursor, &failure);
  image.imageSize = bytes.size() - cursor.remaining;
  if (status != 0) return ReadFailure(status, failure, image.imageSize, image.fileSize);
  CopyDatabase(db, image);
  if (rewriteCheck == RewriteCheck::YES) {
    image.rewritesIdentically = RewritesIdentically(db, bytes, image.imageSize);
  }
  return {};
}

std::string ReadPolicyImage(std::span<const uint8_t> bytes, PolicyImage& image,
                            RewriteCheck rewriteCheck) {
  if (ReadPolicyImageFlat(bytes, image)) {
    // The writer sets the version it knows; the rest it writes back as read.
    if (rewriteCheck == RewriteCheck::YES) {
      image.rewritesIdentically = image.version == POLICY_VERSION;
    }
    return {};
  }
  return ReadPolicyImageByDatabase(bytes, image, rewriteCheck);
}

std::string LoadPolicyImage(const std::string& path, PolicyImage& image,
                            RewriteCheck rewriteCheck) {
  HugePageVector<uint8_t> bytes;
  const std::string readError = ReadWholeFile(path, bytes);
  if (!readError.empty()) return "cannot read: " + readError;
  const std::string imageError = ReadPolicyImage(bytes, image, rewriteCheck);
  if (!imageError.empty()) return "not a valid binary policy: " + imageError;
  return "";
}
