#include "ruledb/policy_binary.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/ruledb/ruledb_test_util.h"

namespace ruledb_test {
namespace {

using Bytes = std::vector<uint8_t>;

std::string ReadMessage(int site, const std::string& what) {
  return " [VARO][RuleDataBaseRead " + std::to_string(site) + "] [" + what + "]\n";
}

std::string WriteMessage(int site, const std::string& what) {
  return " [VARO][RuleDataBaseWrite " + std::to_string(site) + "] [" + what + "]\n";
}

const std::string READ_SYMBOLS = ReadMessage(759, "Read symbol table failed");
const std::string READ_OBJECTS = ReadMessage(765, "Read object context failed");
const std::string READ_FILES = ReadMessage(771, "Read file context failed");
const std::string READ_TYPEATTR = ReadMessage(777, "Read typeattr failed");
const std::string READ_RULES = ReadMessage(783, "Read rule table failed");
const std::string INSERT_RULE = " [VARO][RuleTblInsert 90] failed to insert rule into tbl\n";

// The image of FillRichDatabase and where each section starts in it.
struct Section {
  size_t start;
  std::string readMessage;
  std::string writeMessage;
};
const size_t RICH_IMAGE_SIZE = 238;
const Section RICH_SECTIONS[] = {
    {0, "", WriteMessage(807, "Put policy binary header failed")},
    {20, READ_SYMBOLS, WriteMessage(813, "Write symbol table failed")},    // 4 + 3 * (8 + 6)
    {66, READ_OBJECTS, WriteMessage(819, "Write object context failed")},  // 16 + 22 + 32
    {136, READ_FILES, WriteMessage(825, "Write file context failed")},     // 4 + 18 + 26
    {184, READ_TYPEATTR, WriteMessage(831, "Write typeattr failed")},      // 4 + 6 + 4
    {198, READ_RULES, WriteMessage(837, "Write rule table failed")},       // 4 + 3 * 12
};

const Section& SectionAt(size_t offset) {
  size_t index = 0;
  while (index + 1 < std::size(RICH_SECTIONS) && RICH_SECTIONS[index + 1].start <= offset) {
    index++;
  }
  return RICH_SECTIONS[index];
}

Bytes RichImage() {
  DbGuard db;
  FillRichDatabase(db.get());
  WriteResult written = WriteImage(db.get());
  EXPECT_EQ(written.status, 0);
  return written.image;
}

std::vector<std::string> ListNames(const ObjCtx* head) {
  std::vector<std::string> names;
  for (; head != nullptr; head = head->next) {
    names.push_back(head->name != nullptr ? head->name : std::to_string(head->sid));
  }
  return names;
}

std::string SymbolValue(RuleDataBase* db, const char* name) {
  const HashTblNode* node = StrTblSearch(&db->symTbl, name);
  return node == nullptr ? "absent" : std::to_string(*static_cast<uint32_t*>(node->datum));
}

TEST(PolicyBinary, WorkedExampleIsFortyOneBytes) {
  DbGuard db;
  ASSERT_EQ(StrTblInit(&db->symTbl, 1), 0);
  AddSymbol(db.get(), "a", 0);
  SetTypeAttrs(db.get(), {{0}});
  ASSERT_EQ(RuleTblInit(&db->ruleTbl, 0), 0);
  const Bytes expected = {0x4F, 0x52, 0x41, 0x56, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                          0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61,
                          0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  WriteResult written = WriteImage(db.get());
  ASSERT_EQ(written.status, 0);
  EXPECT_EQ(written.image, expected);

  DbGuard back;
  ASSERT_EQ(ReadImage(expected, back.get()), 0);
  EXPECT_EQ(back->version, 1u);
  EXPECT_EQ(back->flags, FLAG_TYPEATTR);
  EXPECT_STREQ(back->symNames[0], "a");
  ASSERT_EQ(back->typeToAttrsCount, 1u);
  EXPECT_EQ(back->typeToAttrsArr[0].count, 1);
  EXPECT_EQ(back->typeToAttrsArr[0].values[0], 0);
  EXPECT_EQ(WriteImage(back.get()).image, expected);
}

TEST(PolicyCursor, PutsAndGetsAreLittleEndianAndMoveNothingWhenShort) {
  uint8_t buffer[6] = {};
  PolicyCursor out{buffer, sizeof(buffer)};
  ASSERT_EQ(PutU32(&out, 0x04030201), 0);
  EXPECT_EQ(PutU32(&out, 0xFFFFFFFF), RULEDB_EINVAL);
  ASSERT_EQ(PutU16(&out, 0x0605), 0);
  EXPECT_EQ(PutU16(&out, 0xFFFF), RULEDB_EINVAL);
  EXPECT_EQ(PutBytes(&out, "x", 0), RULEDB_EINVAL);
  EXPECT_EQ(out.remaining, 0u);
  EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{1, 2, 3, 4, 5, 6}));

  PolicyCursor in{buffer, 5};
  uint32_t u32 = 0xDEADBEEF;
  uint16_t u16 = 0xBEEF;
  ASSERT_EQ(GetU32(&in, &u32), 0);
  EXPECT_EQ(u32, 0x04030201u);
  EXPECT_EQ(GetU16(&in, &u16), RULEDB_EINVAL);
  EXPECT_EQ(u16, 0xBEEF);
  EXPECT_EQ(in.remaining, 1u);
  EXPECT_EQ(in.pos, buffer + 4);
}

TEST(PolicyBinary, RichDatabaseReadsBackFieldForFieldAndWritesTheSameBytes) {
  const Bytes image = RichImage();
  ASSERT_EQ(image.size(), RICH_IMAGE_SIZE);
  DbGuard db;
  ASSERT_EQ(ReadImage(image, db.get()), 0);

  EXPECT_EQ(db->flags, 0x1Fu);
  EXPECT_EQ(SymbolValue(db.get(), "file_t"), "0");
  EXPECT_EQ(SymbolValue(db.get(), "proc_t"), "1");
  EXPECT_EQ(SymbolValue(db.get(), "domain"), "2");
  EXPECT_STREQ(db->symNames[2], "domain");
  // Lists keep file order, which is the written list order.
  EXPECT_EQ(ListNames(db->objCtxs[OBJ_CTX_INITIAL_SID]), (std::vector<std::string>{"3", "1"}));
  EXPECT_EQ(ListNames(db->objCtxs[OBJ_CTX_NETIF]), (std::vector<std::string>{"lo", "eth0"}));
  EXPECT_EQ(db->objCtxs[OBJ_CTX_NETIF]->type, 1);
  const ObjCtx* packet = db->objCtxs[OBJ_CTX_PACKET];
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->sourceAddress, 0xC0A80001u);
  EXPECT_EQ(packet->destinationMask, 0xFF000000u);
  EXPECT_EQ(packet->sportEnd, 65535);
  EXPECT_EQ(packet->dportStart, 80);
  EXPECT_EQ(packet->protocol, 6);
  EXPECT_EQ(packet->type, 2);
  const HashTblNode* file = StrTblSearch(&db->fileCtxTbl, "/usr/bin/app");
  ASSERT_NE(file, nullptr);
  EXPECT_STREQ(static_cast<const char*>(file->datum), "proc_t");
  ASSERT_EQ(db->typeToAttrsCount, 3u);
  EXPECT_EQ(db->typeToAttrsArr[1].count, 2);
  EXPECT_EQ(db->typeToAttrsArr[1].values[1], 2);
  const RuleTblKey key{2, 1, 2, RULE_GRANT};
  const HashTblNode* rule = RuleTblSearch(&db->ruleTbl, &key);
  ASSERT_NE(rule, nullptr);
  EXPECT_EQ(static_cast<const RuleTblDatum*>(rule->datum)->value, 0x80000001u);

  EXPECT_EQ(WriteImage(db.get()).image, image);
}

TEST(PolicyBinary, WriterTouchesNothingBeyondTheImage) {
  DbGuard db;
  FillRichDatabase(db.get());
  Bytes buffer(RICH_IMAGE_SIZE + 64, 0xAA);
  PolicyCursor cursor{buffer.data(), buffer.size()};
  ASSERT_EQ(RuleDataBaseWrite(db.get(), &cursor), 0);
  EXPECT_EQ(cursor.remaining, 64u);
  EXPECT_EQ(Bytes(buffer.begin() + RICH_IMAGE_SIZE, buffer.end()), Bytes(64, 0xAA));
  // An exactly sized buffer is enough.
  EXPECT_EQ(WriteImage(db.get(), RICH_IMAGE_SIZE).status, 0);
}

TEST(PolicyBinary, WriterOutOfRoomFailsInTheSectionWhereRoomRunsOut) {
  DbGuard db;
  FillRichDatabase(db.get());
  for (size_t capacity = 0; capacity < RICH_IMAGE_SIZE; capacity++) {
    SysLogCapture log;
    WriteResult written = WriteImage(db.get(), capacity);
    EXPECT_EQ(written.status, RULEDB_EINVAL) << "capacity " << capacity;
    ASSERT_EQ(log.entries().size(), 1u) << "capacity " << capacity;
    EXPECT_EQ(log.entries()[0].priority, LOG_ERR);
    EXPECT_EQ(log.entries()[0].text, SectionAt(capacity).writeMessage) << "capacity " << capacity;
  }
}

// Head then rules, at every buffer size: the same bytes, status, room left
// and log line as the image written in one call.
TEST(PolicyBinary, WriterInTwoPartsMatchesTheWholeWriter) {
  DbGuard db;
  FillRichDatabase(db.get());
  for (size_t capacity = 0; capacity <= RICH_IMAGE_SIZE; capacity++) {
    Bytes whole(capacity, 0xAA);
    Bytes parts(capacity, 0xAA);
    PolicyCursor wholeCursor{whole.data(), whole.size()};
    PolicyCursor partsCursor{parts.data(), parts.size()};
    SysLogCapture wholeLog;
    const int32_t wholeStatus = RuleDataBaseWrite(db.get(), &wholeCursor);
    const auto wholeLines = wholeLog.entries();
    SysLogCapture partsLog;
    int32_t partsStatus = RuleDataBaseWriteHead(db.get(), &partsCursor);
    if (partsStatus == 0) partsStatus = RuleDataBaseWriteRules(db.get(), &partsCursor);
    EXPECT_EQ(partsStatus, wholeStatus) << "capacity " << capacity;
    EXPECT_EQ(parts, whole) << "capacity " << capacity;
    EXPECT_EQ(partsCursor.remaining, wholeCursor.remaining) << "capacity " << capacity;
    ASSERT_EQ(partsLog.entries().size(), wholeLines.size()) << "capacity " << capacity;
    for (size_t i = 0; i < wholeLines.size(); i++) {
      EXPECT_EQ(partsLog.entries()[i].text, wholeLines[i].text) << "capacity " << capacity;
    }
  }
}

TEST(PolicyBinary, EveryTruncatedImageIsRefusedInItsSection) {
  const Bytes image = RichImage();
  for (size_t length = 0; length < image.size(); length++) {
    SysLogCapture log;
    DbGuard db;
    EXPECT_EQ(ReadImage(Bytes(image.begin(), image.begin() + static_cast<long>(length)), db.get()),
              RULEDB_EINVAL)
        << "length " << length;
    const std::string& expected = SectionAt(length).readMessage;
    EXPECT_EQ(log.Texts(),
              expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{expected})
        << "length " << length;
  }
}

TEST(PolicyBinary, ExtraBytesAfterTheRulesAreNotExamined) {
  Bytes image = RichImage();
  image.insert(image.end(), {0xDE, 0xAD});
  DbGuard db;
  EXPECT_EQ(ReadImage(image, db.get()), 0);
  EXPECT_EQ(db->ruleTbl.nel, 3u);
}

struct RefusalCase {
  const char* name;
  Bytes image;
  int32_t status;
  std::vector<std::string> messages;
};

RefusalCase Refusal(const char* name, int32_t status, std::vector<std::string> messages,
                    Bytes image) {
  return {name, std::move(image), status, std::move(messages)};
}

std::vector<RefusalCase> RefusalCases() {
  auto header = [](uint32_t flags) { return ImageBuilder().Header(flags); };
  const uint32_t huge = 0xFFFFFFFF;
  return {
      Refusal("nineteen bytes", RULEDB_EINVAL, {}, Bytes(19, 0)),
      Refusal("magic", RULEDB_EINVAL,
              {" [VARO][RuleDataBaseRead 742] [Mismatched magic number][magic=0x12345678]\n"},
              ImageBuilder().Header(0, 0x12345678).U32s({0, 0}).bytes()),
      Refusal("symbol table count", RULEDB_EINVAL,
              {" [VARO][RuleDataBaseRead 751] [Mismatched symbol or object count][symCnt=2, "
               "objCnt=3]\n"},
              ImageBuilder().Header(0, POLICY_MAGIC, 2, 3).U32s({0, 0}).bytes()),
      Refusal("object kind count", RULEDB_EINVAL,
              {" [VARO][RuleDataBaseRead 751] [Mismatched symbol or object count][symCnt=1, "
               "objCnt=4]\n"},
              ImageBuilder().Header(0, POLICY_MAGIC, 1, 4).U32s({0, 0}).bytes()),
      Refusal("symbol count beyond the bytes left", RULEDB_EINVAL, {READ_SYMBOLS},
              header(0).U32s({huge, 0}).bytes()),
      Refusal("symbol value equal to the count", RULEDB_ENOMEM, {READ_SYMBOLS},
              header(0).U32s({1, 1, 1}).Bytes("a").U32(0).bytes()),
      Refusal("symbol name length 0", RULEDB_EINVAL, {READ_SYMBOLS},
              header(0).U32s({1, 0, 0, 0, 0}).bytes()),
      Refusal("symbol name length 4294967295", RULEDB_EINVAL, {READ_SYMBOLS},
              header(0).U32s({1, huge, 0, 0}).bytes()),
      Refusal("symbol name longer than the bytes left", RULEDB_EINVAL, {READ_SYMBOLS},
              header(0).U32s({1, 9, 0}).Bytes("abcd").bytes()),
      Refusal("repeated symbol name", RULEDB_EEXIST, {READ_SYMBOLS},
              header(0).U32s({2, 1, 0}).Bytes("a").U32s({1, 1}).Bytes("a").U32(0).bytes()),
      Refusal("initial sid count beyond the bytes left", RULEDB_EINVAL, {READ_OBJECTS},
              header(FLAG_INITIAL_SID).U32s({0, huge, 0}).bytes()),
      Refusal("netif count beyond the bytes left", RULEDB_EINVAL, {READ_OBJECTS},
              header(FLAG_NETIF).U32s({0, 2, 1}).U16(0).Bytes("e").bytes()),
      Refusal("netif name length 0", RULEDB_EINVAL, {READ_OBJECTS},
              header(FLAG_NETIF).U32s({0, 1, 0}).U16(0).U32(0).bytes()),
      Refusal("netif name length 4294967295", RULEDB_EINVAL, {READ_OBJECTS},
              header(FLAG_NETIF).U32s({0, 1, huge}).U16(0).U32(0).bytes()),
      Refusal("packet count beyond the bytes left", RULEDB_EINVAL, {READ_OBJECTS},
              header(FLAG_PACKET).U32s({0, 1, 0, 0, 0, 0, 0}).bytes()),
      Refusal("file context count beyond the bytes left", RULEDB_EINVAL, {READ_FILES},
              header(FLAG_FILE_CONTEXT).U32s({0, huge, 0}).bytes()),
      Refusal("file path length 0", RULEDB_EINVAL, {READ_FILES},
              header(FLAG_FILE_CONTEXT).U32s({0, 1, 0, 1}).Bytes("c").U32(0).bytes()),
      Refusal("file path length 4294967295", RULEDB_EINVAL, {READ_FILES},
              header(FLAG_FILE_CONTEXT).U32s({0, 1, huge, 1}).Bytes("c").U32(0).bytes()),
      Refusal("file context length 0", RULEDB_EINVAL, {READ_FILES},
              header(FLAG_FILE_CONTEXT).U32s({0, 1, 1, 0}).Bytes("/").U32(0).bytes()),
      Refusal("file context length 4294967295", RULEDB_EINVAL, {READ_FILES},
              header(FLAG_FILE_CONTEXT).U32s({0, 1, 1, huge}).Bytes("/").U32(0).bytes()),
      Refusal("repeated file path", RULEDB_EEXIST, {READ_FILES},
              header(FLAG_FILE_CONTEXT)
                  .U32s({0, 2, 1, 1})
                  .Bytes("/c")
                  .U32s({1, 1})
                  .Bytes("/d")
                  .U32(0)
                  .bytes()),
      Refusal("type attribute count 0", RULEDB_EINVAL, {READ_TYPEATTR},
              header(FLAG_TYPEATTR).U32s({1, 1, 0}).Bytes("a").U16(0).U32(0).bytes()),
      Refusal("type attribute values beyond the bytes left", RULEDB_EINVAL, {READ_TYPEATTR},
              header(FLAG_TYPEATTR).U32s({1, 1, 0}).Bytes("a").U16(0xFFFF).U32(0).bytes()),
      Refusal("rule count beyond the bytes left", RULEDB_EINVAL, {READ_RULES},
              header(0).U32s({0, 1, 0, 0}).bytes()),
      Refusal("repeated rule", RULEDB_EINVAL, {INSERT_RULE, READ_RULES},
              header(0).U32s({0, 2}).U16s({1, 2, 3, 1}).U32(5).U16s({1, 2, 3, 1}).U32(6).bytes()),
  };
}

TEST(PolicyBinary, ReaderRefusesBadImagesWithTheSectionMessage) {
  for (const RefusalCase& c : RefusalCases()) {
    SysLogCapture log;
    DbGuard db;
    EXPECT_EQ(ReadImage(c.image, db.get()), c.status) << c.name;
    EXPECT_EQ(log.Texts(), c.messages) << c.name;
    for (const SysLogEntry& entry : log.entries()) {
      EXPECT_EQ(entry.priority, LOG_ERR) << c.name;
    }
  }
}

TEST(PolicyBinary, CountThatCannotFitIsRefusedBeforeAnythingIsAllocated) {
  // A 28-byte file announcing 4294967295 symbols.
  const Bytes image = ImageBuilder().Header(0).U32s({0xFFFFFFFF, 0}).bytes();
  ASSERT_EQ(image.size(), 28u);
  SysLogCapture log;
  DbGuard db;
  EXPECT_EQ(ReadImage(image, db.get()), RULEDB_EINVAL);
  EXPECT_EQ(db->symTbl.buckets, nullptr);
  EXPECT_EQ(db->symNames, nullptr);
}

TEST(PolicyBinary, FailedSymbolTableDropsTheNameIndexButKeepsInsertedSymbols) {
  const Bytes image = ImageBuilder().Header(0).U32s({2, 1, 0}).Bytes("a").U32s({0, 1, 0}).bytes();
  DbGuard db;
  SysLogCapture log;
  EXPECT_EQ(ReadImage(image, db.get()), RULEDB_EINVAL);
  EXPECT_EQ(db->symNames, nullptr);
  EXPECT_EQ(db->symTbl.nel, 1u);
}

TEST(PolicyBinary, UnknownFlagBitsAndAnyVersionAreKept) {
  Bytes image = ImageBuilder().Header(0x100).U32s({0, 0}).bytes();
  image[4] = 7;
  DbGuard db;
  ASSERT_EQ(ReadImage(image, db.get()), 0);
  EXPECT_EQ(db->flags, 0x100u);
  EXPECT_EQ(db->version, 7u);
}

// Object blocks follow the flags alone: netifs only give one block, a set
// flag with an empty list an empty block; both read back and write the same.
TEST(PolicyBinary, ObjectBlocksFollowTheFlags) {
  const struct {
    uint32_t flag;
    const char* netif;  // null: no list
    Bytes expected;
  } cases[] = {
      {FLAG_NETIF, "eth1",
       ImageBuilder()
           .Header(FLAG_NETIF)
           .U32s({1, 4, 0})
           .Bytes("if_t")
           .U32s({1, 4})
           .U16(0)
           .Bytes("eth1")
           .U32(0)
           .bytes()},
      {FLAG_PACKET, nullptr,
       ImageBuilder().Header(FLAG_PACKET).U32s({1, 4, 0}).Bytes("if_t").U32s({0, 0}).bytes()},
  };
  for (const auto& c : cases) {
    DbGuard db;
    ASSERT_EQ(StrTblInit(&db->symTbl, 1), 0);
    AddSymbol(db.get(), "if_t", 0);
    db->flags = c.flag;
    if (c.netif != nullptr) AddNetif(db.get(), c.netif, 0);
    ASSERT_EQ(RuleTblInit(&db->ruleTbl, 0), 0);
    WriteResult written = WriteImage(db.get());
    ASSERT_EQ(written.status, 0);
    EXPECT_EQ(written.image, c.expected) << c.flag;
    DbGuard back;
    ASSERT_EQ(ReadImage(c.expected, back.get()), 0);
    EXPECT_EQ(WriteImage(back.get()).image, c.expected) << c.flag;
  }
}

TEST(PolicyBinary, WriterRefusesWhatTheFormatCannotCarry) {
  const struct {
    const char* name;
    void (*spoil)(RuleDataBase* db);
    std::string message;
  } cases[] = {
      {"type attribute entry with count 0",
       [](RuleDataBase* db) { db->typeToAttrsArr[1].count = 0; },
       WriteMessage(831, "Write typeattr failed")},
      {"type attribute array shorter than the symbols",
       [](RuleDataBase* db) {
         free(db->typeToAttrsArr[2].values);
         db->typeToAttrsArr[2].values = nullptr;
         db->typeToAttrsCount = 2;
       },
       WriteMessage(831, "Write typeattr failed")},
      {"netif list whose flag is clear", [](RuleDataBase* db) { db->flags &= ~FLAG_NETIF; },
       WriteMessage(819, "Write object context failed")},
      {"empty netif name", [](RuleDataBase* db) { db->objCtxs[OBJ_CTX_NETIF]->name[0] = '\0'; },
       WriteMessage(819, "Write object context failed")},
      {"empty symbol name",
       [](RuleDataBase* db) {
         static_cast<char*>(StrTblSearch(&db->symTbl, "file_t")->key)[0] = '\0';
       },
       WriteMessage(813, "Write symbol table failed")},
      {"empty file context",
       [](RuleDataBase* db) {
         static_cast<char*>(StrTblSearch(&db->fileCtxTbl, "/etc")->datum)[0] = '\0';
       },
       WriteMessage(825, "Write file context failed")},
  };
  for (const auto& c : cases) {
    DbGuard db;
    FillRichDatabase(db.get());
    c.spoil(db.get());
    SysLogCapture log;
    EXPECT_EQ(WriteImage(db.get()).status, RULEDB_EINVAL) << c.name;
    EXPECT_EQ(log.Texts(), std::vector<std::string>{c.message}) << c.name;
  }
}

// 65536 symbols or more: the type-attribute section covers only the low 16
// bits of the count, and neither reader nor destroy may walk further.
TEST(PolicyBinary, SymbolCountsOf65536AndMoreStayWithinTheTypeAttributeArray) {
  DbGuard db;
  const uint32_t symbolCount = 65537;
  ASSERT_EQ(StrTblInit(&db->symTbl, symbolCount), 0);
  for (uint32_t value = 0; value < symbolCount; value++) {
    AddSymbol(db.get(), "t" + std::to_string(value), value);
  }
  SetTypeAttrs(db.get(), {{0}});  // N' = 65537 & 0xFFFF = 1
  ASSERT_EQ(RuleTblInit(&db->ruleTbl, 0), 0);
  WriteResult written = WriteImage(db.get(), 4 << 20);
  ASSERT_EQ(written.status, 0);

  SysLogCapture log;
  DbGuard back;
  ASSERT_EQ(ReadImage(written.image, back.get()), 0);
  EXPECT_EQ(back->typeToAttrsCount, 1u);
  EXPECT_EQ(WriteImage(back.get(), 4 << 20).image, written.image);
  RuleDataBaseDestory(back.get());
  EXPECT_TRUE(log.entries().empty());
}

}  // namespace
}  // namespace ruledb_test
