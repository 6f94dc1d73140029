#include "tests/tools/image_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "ruledb/policy_binary.h"

namespace {

template <typename T>
T* Allocate(size_t count = 1) {
  return static_cast<T*>(std::calloc(count, sizeof(T)));
}

char* CopyText(const std::string& text) {
  char* copy = Allocate<char>(text.size() + 1);
  std::memcpy(copy, text.data(), text.size());
  return copy;
}

void AddSymbols(const PolicyImage& description, RuleDataBase& db) {
  StrTblInit(&db.symTbl, static_cast<uint32_t>(description.symbols.size()));
  for (const SymbolRecord& symbol : description.symbols) {
    auto* value = Allocate<uint32_t>();
    *value = symbol.value;
    ASSERT_EQ(StrTblInsert(&db.symTbl, CopyText(symbol.name), value), 0);
  }
}

// Appends to the list `kind`, keeping the description's order.
void Append(RuleDataBase& db, ObjCtxKind kind, ObjCtx* record) {
  ObjCtx** tail = &db.objCtxs[kind];
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = record;
}

void AddObjectContexts(const PolicyImage& description, RuleDataBase& db) {
  for (const InitialSidRecord& sid : description.initialSids) {
    auto* record = Allocate<ObjCtx>();
    record->sid = sid.sid;
    record->type = sid.type;
    Append(db, OBJ_CTX_INITIAL_SID, record);
  }
  for (const NetifRecord& netif : description.netifs) {
    auto* record = Allocate<ObjCtx>();
    record->name = CopyText(netif.name);
    record->type = netif.type;
    Append(db, OBJ_CTX_NETIF, record);
  }
  for (const PacketRecord& packet : description.packets) {
    auto* record = Allocate<ObjCtx>();
    record->protocol = packet.protocol;
    record->sourceAddress = packet.sourceAddress;
    record->sourceMask = packet.sourceMask;
    record->destinationAddress = packet.destinationAddress;
    record->destinationMask = packet.destinationMask;
    record->sportStart = packet.sportStart;
    record->sportEnd = packet.sportEnd;
    record->dportStart = packet.dportStart;
    record->dportEnd = packet.dportEnd;
    record->type = packet.type;
    Append(db, OBJ_CTX_PACKET, record);
  }
}

void AddFileContexts(const PolicyImage& description, RuleDataBase& db) {
  StrTblInit(&db.fileCtxTbl, static_cast<uint32_t>(description.fileContexts.size()));
  for (const FileContextRecord& file : description.fileContexts) {
    ASSERT_EQ(StrTblInsert(&db.fileCtxTbl, CopyText(file.path), CopyText(file.context)), 0);
  }
}

void AddTypeAttrs(const PolicyImage& description, RuleDataBase& db) {
  if (description.typeAttrs.empty()) return;
  db.typeToAttrsCount = static_cast<uint32_t>(description.typeAttrs.size());
  db.typeToAttrsArr = Allocate<TypeAttrs>(description.typeAttrs.size());
  for (size_t value = 0; value < description.typeAttrs.size(); ++value) {
    const std::vector<uint16_t>& members = description.typeAttrs[value];
    TypeAttrs& entry = db.typeToAttrsArr[value];
    entry.count = static_cast<uint16_t>(members.size());
    entry.values = Allocate<uint16_t>(members.size());
    std::copy(members.begin(), members.end(), entry.values);
  }
}

void AddRules(const PolicyImage& description, RuleDataBase& db) {
  RuleTblInit(&db.ruleTbl, static_cast<uint32_t>(description.rules.size()));
  for (const RuleRecord& rule : description.rules) {
    const RuleTblDatum datum{rule.datum};
    ASSERT_EQ(RuleTblInsert(&db.ruleTbl, &rule.key, &datum), 0);
  }
}

}  // namespace

std::vector<uint8_t> WriteImage(const PolicyImage& description) {
  RuleDataBase db{};
  db.flags = description.flags;
  AddSymbols(description, db);
  AddObjectContexts(description, db);
  AddFileContexts(description, db);
  AddTypeAttrs(description, db);
  AddRules(description, db);
  std::vector<uint8_t> bytes(1 << 20);
  PolicyCursor cursor{bytes.data(), bytes.size()};
  EXPECT_EQ(RuleDataBaseWrite(&db, &cursor), 0);
  bytes.resize(bytes.size() - cursor.remaining);
  // The writer always writes version 1; a description may ask for another.
  for (size_t i = 0; i < 4; ++i)
    bytes[4 + i] = static_cast<uint8_t>(description.version >> (8 * i));
  RuleDataBaseDestory(&db);
  return bytes;
}

PolicyImage SmallPolicyImage() {
  PolicyImage image{};
  image.version = 1;
  image.flags = FLAG_INITIAL_SID | FLAG_NETIF | FLAG_PACKET | FLAG_FILE_CONTEXT | FLAG_TYPEATTR;
  image.symbols = {{0, "file_t"}, {1, "init_t"}, {2, "domain"}};
  image.typeAttrs = {{0}, {2, 1}, {2}};
  image.initialSids = {{3, 0}, {1, 1}};  // unlabeled, then kernel: reverse name order
  image.netifs = {{"lo", 1}, {"eth0", 0}};
  image.packets = {{6, 0x0A000000, 8, 0, 0, 1024, 65535, 443, 443, 0}};
  image.fileContexts = {{"/etc/app.conf", "file_t"}};
  image.rules = {{{1, 0, 2, RULE_GRANT}, 0x30}, {{2, 0, 1, RULE_TRANSITION}, 1}};
  return image;
}
