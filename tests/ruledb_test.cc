// The rule database: the hash table and its fills, the rule table, and the
// binary policy format read and written at every size and every failing
// allocation.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ruledb/policy_binary.h"
#include "ruledb/sys_log.h"
#include "tests/support/polc_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> g_sysLog;

// The rule database's system-log lines while alive.
class SysLog {
 public:
  SysLog() {
    g_sysLog.clear();
    SetRuleDbSysLog(Keep);
  }
  ~SysLog() { SetRuleDbSysLog(nullptr); }
  const std::vector<std::string>& Lines() const { return g_sysLog; }

 private:
  static void Keep(int priority, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_sysLog.push_back((priority == LOG_ERR ? "" : "info:") + std::string(text));
  }
};

// A zero-filled database, destroyed with the guard.
struct Db {
  RuleDataBase db{};
  ~Db() { RuleDataBaseDestory(&db); }
  RuleDataBase* operator->() { return &db; }
};

// Reads from an exactly sized copy, so that the sanitizers see any read
// past the end.
int32_t Read(const Bytes& image, RuleDataBase* db) {
  Bytes copy = image;
  PolicyCursor cursor{copy.data(), copy.size()};
  return RuleDataBaseRead(db, &cursor);
}

struct Written {
  int32_t status;
  Bytes image;  // what the writer produced
};

Written Write(const RuleDataBase* db, size_t capacity = 1 << 22) {
  Bytes buffer(capacity);
  PolicyCursor cursor{buffer.data(), buffer.size()};
  const int32_t status = RuleDataBaseWrite(db, &cursor);
  buffer.resize(capacity - cursor.remaining);
  return {status, buffer};
}

// Little-endian image text for crafted inputs.
struct Image {
  Bytes bytes;
  Image& U16(uint16_t value) { return Put(value, 2); }
  Image& U32(uint32_t value) { return Put(value, 4); }
  Image& U32s(std::initializer_list<uint32_t> values) {
    for (const uint32_t value : values) U32(value);
    return *this;
  }
  Image& Text(const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  Image& Header(uint32_t flags, uint32_t magic = POLICY_MAGIC, uint32_t symCnt = 1) {
    return U32s({magic, 1, flags, symCnt, 3});
  }
  Image& Put(uint32_t value, int bytesOf) {
    for (int i = 0; i < bytesOf; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
};

// A policy with every section, compiled by polc: 3 symbols, 2 initial
// sids, 2 netifs, 1 packet, 2 file contexts, type attributes and 3 rules.
const Bytes& RichImage() {
  static const Bytes IMAGE = [] {
    const polc_test::TempDir dir;
    dir.Write("p.json", R"({"declarations": {"type": ["file_t", "proc_t"], "attr": ["domain"],
      "typeattr": {"proc_t": ["domain"]}, "labeling": {
      "reserved_sid": [{"sid": "kernel", "context": "proc_t"},
                       {"sid": "unlabeled", "context": "file_t"}],
      "netif": [{"name": "eth0", "context": "file_t"}, {"name": "lo", "context": "proc_t"}],
      "packet": [{"prot": "tcp", "source": "192.168.0.1/32", "destination": "10.0.0.0/8",
                  "sport": "1024-65535", "dport": "80", "context": "domain"}],
      "file": [{"path": "/etc", "context": "file_t"},
               {"path": "/usr/bin/app", "context": "proc_t"}]}},
      "rules": [{"subject": "domain",
                 "teac": [{"object": "proc_t", "class": "file",
                           "operation": ["create", "mounton"]}],
                 "type_transition": [{"object": "file_t", "class": "process", "target": "proc_t"}]},
                {"subject": "proc_t",
                 "teac": [{"object": "file_t", "class": "dir", "operation": ["read"]}]}]})");
    EXPECT_EQ(polc_test::RunShell("polc -c -o p.bin p.json", dir.path()).status, 0);
    const std::string bytes = polc_test::ReadFile(dir.Path("p.bin"));
    return Bytes(bytes.begin(), bytes.end());
  }();
  return IMAGE;
}

// Where each section of the rich image starts, and what reading and writing
// log when the image or the room ends inside it.
struct Section {
  size_t start;
  std::string readLine;
  std::string writeLine;
};
std::string Line(const char* op, int site, const std::string& what) {
  return " [VARO][" + std::string(op) + " " + std::to_string(site) + "] [" + what + "]\n";
}
const Section RICH_SECTIONS[] = {
    {0, "", Line("RuleDataBaseWrite", 807, "Put policy binary header failed")},
    {20, Line("RuleDataBaseRead", 759, "Read symbol table failed"),  // 4 + 3 * (8 + 6)
     Line("RuleDataBaseWrite", 813, "Write symbol table failed")},
    {66, Line("RuleDataBaseRead", 765, "Read object context failed"),  // 16 + 22 + 32
     Line("RuleDataBaseWrite", 819, "Write object context failed")},
    {136, Line("RuleDataBaseRead", 771, "Read file context failed"),  // 4 + 18 + 26
     Line("RuleDataBaseWrite", 825, "Write file context failed")},
    {184, Line("RuleDataBaseRead", 777, "Read typeattr failed"),  // 6 + 4 + 4
     Line("RuleDataBaseWrite", 831, "Write typeattr failed")},
    {198, Line("RuleDataBaseRead", 783, "Read rule table failed"),  // 4 + 3 * 12
     Line("RuleDataBaseWrite", 837, "Write rule table failed")}};
constexpr size_t RICH_SIZE = 238;

const Section& SectionAt(size_t offset) {
  size_t index = 0;
  while (index + 1 < std::size(RICH_SECTIONS) && RICH_SECTIONS[index + 1].start <= offset) ++index;
  return RICH_SECTIONS[index];
}

std::vector<std::string> Listed(const ObjCtx* head) {
  std::vector<std::string> items;
  for (; head != nullptr; head = head->next) {
    items.push_back((head->name != nullptr ? head->name : std::to_string(head->sid)) + "=" +
                    std::to_string(head->type));
  }
  return items;
}

TEST(HashFunctions, MatchPublishedVectorsAndTheFileFormat) {
  // clang-format off
  const std::pair<uint32_t, uint32_t> buckets[] = {
      {0, 0},     {1, 2},         {2, 4},          {3, 4},    {4, 8},
      {8, 16},    {1000, 1024},   {65535, 65536},  {65536, 65536}, {0xFFFFFFFF, 65536}};
  for (const auto& [n, count] : buckets) EXPECT_EQ(HashTblBucketCount(n), count) << n;
  const struct {
    std::string input;
    uint32_t seed, hash;
  } vectors[] = {{"", 0, 0},
                 {"", 1, 0x514E28B7},
                 {"", 0xFFFFFFFF, 0x81F16F39},
                 {std::string("\xFF\xFF\xFF\xFF", 4), 0, 0x76293B50},
                 {"\x21\x43\x65\x87", 0x5082EDEE, 0x2362F9DE},
                 {"\x21\x43\x65", 0, 0x7E4A8634},
                 {"\x21\x43", 0, 0xA0F7B07A},
                 {"\x21", 0, 0x72661CF4},
                 {std::string(3, '\0'), 0, 0x85F0B427},
                 {"Hello, world!", 0x9747B28C, 0x24884CBA},
                 {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD}};
  for (const auto& v : vectors) {
    EXPECT_EQ(MurmurHash3X86(v.input.data(), v.input.size(), v.seed), v.hash) << v.input;
  }
  // Any alignment of the text; the rule key as its four little-endian fields.
  char buffer[24] = {};
  for (size_t offset = 0; offset < 4; offset++) {
    std::strcpy(buffer + offset, "Hello, world!");
    EXPECT_EQ(StrTblHash(buffer + offset), MurmurHash3X86("Hello, world!", 13, 0));
  }
  const RuleTblKey key{0x0102, 0x0304, 0x0506, RULE_TRANSITION};
  const uint8_t keyBytes[] = {0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x02, 0x00};
  EXPECT_EQ(RuleTblHash(&key), MurmurHash3X86(keyBytes, sizeof keyBytes, 0));
  const struct {
    RuleTblKey a, b;
    int32_t order;
  } orders[] = {{{1, 2, 3, 1}, {1, 2, 3, 2}, -1}, {{2, 0, 0, 0}, {1, 65535, 65535, 65535}, 1},
                {{1, 2, 3, 1}, {1, 2, 3, 1}, 0},         {{0, 0, 0, 0}, {65535, 0, 0, 0}, -65535},
                {{5, 9, 0, 0}, {5, 2, 65535, 65535}, 7}, {{5, 9, 30, 0}, {5, 9, 1, 65535}, 29},
                {{5, 9, 30, 65535}, {5, 9, 30, 0}, 65535}};
  for (const auto& o : orders) EXPECT_EQ(RuleTblCmp(&o.a, &o.b), o.order);
  // clang-format on
}

char* HeapText(const std::string& text) {
  auto* block = static_cast<char*>(calloc(text.size() + 1, 1));
  std::memcpy(block, text.c_str(), text.size());
  return block;
}

// Inserts `name` without a datum; the table owns the key on success.
int32_t InsertName(HashTbl* table, const std::string& name) {
  char* key = HeapText(name);
  const int32_t status = StrTblInsert(table, key, nullptr);
  if (status != 0) free(key);
  return status;
}

std::vector<std::string> MapOrder(const HashTbl* table) {
  std::vector<std::string> keys;
  EXPECT_EQ(StrTblMap(
                table,
                [](void* key, void*, void* arg) {
                  static_cast<std::vector<std::string>*>(arg)->push_back(static_cast<char*>(key));
                  return 0;
                },
                &keys),
            0);
  return keys;
}

TEST(HashTbl, ChainsKeepKeysInOrderAndRefuseWhatTheyCannotTake) {
  HashTbl table{};
  ASSERT_EQ(HashTblInit(
                &table, 4, [](const void*) -> uint32_t { return 7; }, StrTblCmp),
            0);
  for (const char* name : {"bb", "c", "a", "b"}) ASSERT_EQ(InsertName(&table, name), 0);
  EXPECT_EQ(MapOrder(&table), (std::vector<std::string>{"a", "b", "bb", "c"}));
  EXPECT_STREQ(static_cast<char*>(table.buckets[3]->key), "a");
  EXPECT_NE(StrTblSearch(&table, "bb"), nullptr);
  EXPECT_EQ(StrTblSearch(&table, "ba"), nullptr);
  EXPECT_EQ(StrTblSearch(&table, "d"), nullptr);
  EXPECT_EQ(InsertName(&table, "b"), RULEDB_EEXIST);
  int visits = 0;
  EXPECT_EQ(
      StrTblMap(
          &table, [](void*, void*, void* arg) { return ++*static_cast<int*>(arg) == 3 ? 5 : 0; },
          &visits),
      5);
  EXPECT_EQ(visits, 3);
  table.nel = 0xFFFFFFFF;
  EXPECT_EQ(InsertName(&table, "d"), RULEDB_EINVAL);
  table.nel = 4;
  StrTblDestroy(&table);
  StrTblDestroy(&table);
  EXPECT_EQ(table.nel, 4u);
  EXPECT_EQ(table.size, 4u);
  EXPECT_EQ(StrTblSearch(&table, "a"), nullptr);
  EXPECT_TRUE(MapOrder(&table).empty());
  EXPECT_EQ(InsertName(&table, "d"), RULEDB_EINVAL);
  HashTbl none{};
  ASSERT_EQ(StrTblInit(&none, 0), 0);
  EXPECT_EQ(InsertName(&none, "a"), RULEDB_EINVAL);
  StrTblDestroy(&none);
  {
    polc_test::AllocationFault fault(1);
    EXPECT_EQ(StrTblInit(&none, 10), RULEDB_ENOMEM);
  }
  EXPECT_EQ(none.size, 0u);
  EXPECT_EQ(InsertName(&none, "a"), RULEDB_EINVAL);
}

// Buckets in index order, each chain in key order, whatever the order of
// insertion.
TEST(HashTbl, MapVisitsBucketsInIndexOrderThenKeysInOrder) {
  std::vector<std::string> names;
  for (int i = 0; i < 40; i++) names.push_back("type_" + std::to_string(i * 7919 % 1000));
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
    const uint32_t bucketA = StrTblHash(a.c_str()) & 7;
    const uint32_t bucketB = StrTblHash(b.c_str()) & 7;
    return bucketA != bucketB ? bucketA < bucketB : a < b;
  });
  for (const bool reversed : {false, true}) {
    HashTbl table{};
    ASSERT_EQ(HashTblInit(&table, 8, StrTblHash, StrTblCmp), 0);
    if (reversed) std::reverse(names.begin(), names.end());
    for (const std::string& name : names) ASSERT_EQ(InsertName(&table, name), 0);
    EXPECT_EQ(MapOrder(&table), expected);
    StrTblDestroy(&table);
  }
}

// Every bucket's chain as "key=datum" texts.
std::vector<std::string> Chains(const HashTbl* table, const std::function<std::string(void*)>& key,
                                const std::function<std::string(void*)>& datum) {
  std::vector<std::string> chains;
  for (uint32_t bucket = 0; table->buckets != nullptr && bucket < table->size; bucket++) {
    std::string& chain = chains.emplace_back();
    for (const HashTblNode* node = table->buckets[bucket]; node != nullptr; node = node->next) {
      chain += key(node->key) + "=" + datum(node->datum) + " ";
    }
  }
  return chains;
}

std::string RuleKeyText(const void* key) {
  const auto* k = static_cast<const RuleTblKey*>(key);
  return std::to_string(k->source) + "," + std::to_string(k->target) + "," +
         std::to_string(k->tclass) + "," + std::to_string(k->specified);
}
std::string Text(void* text) { return static_cast<const char*>(text); }
std::string U32(void* value) { return std::to_string(*static_cast<const uint32_t*>(value)); }

// One entry of every kind of fill: a rule, and a text key with a text and
// a 32-bit datum, so one batch serves the rule, file context and symbol
// tables.
struct Entry {
  RuleTblKey key;
  RuleTblDatum datum;
  const char* text;
  const char* context;
  uint32_t value;
};

// `count` entries with distinct keys from small ranges, so that many share
// a chain, texts are prefixes of each other and bytes above 0x7F sort last.
std::vector<Entry> RandomEntries(std::mt19937& random, size_t count,
                                 std::vector<std::string>& texts) {
  static const char ALPHABET[] = {'/', 'a', 'b', '_', '\x7f', '\x80', '\xff'};
  std::set<std::string> seenTexts;
  std::set<std::string> seenKeys;
  std::vector<Entry> entries;
  texts.reserve(2 * count);
  while (entries.size() < count) {
    std::string text(1 + random() % 6, '\0');
    for (char& c : text) c = ALPHABET[random() % sizeof ALPHABET];
    const RuleTblKey key{static_cast<uint16_t>(random() % 41), static_cast<uint16_t>(random() % 41),
                         static_cast<uint16_t>(1 + random() % 4),
                         static_cast<uint16_t>(1 + random() % 2)};
    if (!seenTexts.insert(text).second || !seenKeys.insert(RuleKeyText(&key)).second) continue;
    texts.push_back(text);
    texts.push_back("ctx_" + std::to_string(random() % 1000));
    entries.push_back({key,
                       {static_cast<uint32_t>(random())},
                       texts[texts.size() - 2].c_str(),
                       texts.back().c_str(),
                       static_cast<uint32_t>(entries.size())});
  }
  return entries;
}

// The three tables a compile fills in bulk, each filled one way or the other.
struct Tables {
  Db rules, strings;
  explicit Tables(uint32_t buckets) {
    EXPECT_EQ(HashTblInit(&rules->ruleTbl, buckets, RuleTblHash, RuleTblCmp), 0);
    EXPECT_EQ(HashTblInit(&strings->fileCtxTbl, buckets, StrTblHash, StrTblCmp), 0);
    EXPECT_EQ(HashTblInit(&strings->symTbl, buckets, StrTblHash, StrTblCmp), 0);
  }
  void Insert(const Entry& e) {
    ASSERT_EQ(RuleTblInsert(&rules->ruleTbl, &e.key, &e.datum), 0);
    ASSERT_EQ(StrTblInsert(&strings->fileCtxTbl, HeapText(e.text), HeapText(e.context)), 0);
    auto* value = static_cast<uint32_t*>(calloc(1, sizeof(uint32_t)));
    *value = e.value;
    ASSERT_EQ(StrTblInsert(&strings->symTbl, HeapText(e.text), value), 0);
  }
  int32_t Fill(const std::vector<Entry>& batch) {
    const auto count = static_cast<uint32_t>(batch.size());
    const Entry* first = batch.data();
    const auto field = [first](const auto Entry::*member) {
      return first == nullptr ? nullptr : &(first->*member);
    };
    int32_t status = RuleTblFill(&rules->ruleTbl, field(&Entry::key), field(&Entry::datum),
                                 sizeof(Entry), count);
    if (status == 0) {
      status = StrTblFill(&strings->fileCtxTbl, field(&Entry::text), field(&Entry::context),
                          HASH_TBL_TEXT, sizeof(Entry), count);
    }
    return status != 0 ? status
                       : StrTblFill(&strings->symTbl, field(&Entry::text), field(&Entry::value),
                                    sizeof(uint32_t), sizeof(Entry), count);
  }
  std::vector<std::string> State() {
    std::vector<std::string> all = Chains(&rules->ruleTbl, RuleKeyText, [](void* datum) {
      return std::to_string(static_cast<RuleTblDatum*>(datum)->value);
    });
    for (const auto& chain : Chains(&strings->fileCtxTbl, Text, Text)) all.push_back(chain);
    for (const auto& chain : Chains(&strings->symTbl, Text, U32)) all.push_back(chain);
    all.push_back(std::to_string(rules->ruleTbl.nel) + " " + std::to_string(strings->symTbl.nel));
    return all;
  }
};

// Fills give the very tables that inserting each entry would, from one
// chain holding everything to more buckets than entries, later fills merged
// between the nodes of earlier ones, in the compiler's descending order or
// in any. A table takes fills or inserts, never both.
TEST(HashTblFill, GivesTheTablesOfOneByOneInsertion) {
  const struct {
    uint32_t buckets;
    size_t first, second, third;
  } cases[] = {{1, 1, 0, 0},    {1, 20, 30, 15},   {2, 3, 4, 0},        {8, 150, 130, 20},
               {64, 1, 498, 1}, {1024, 199, 1, 0}, {65536, 3000, 0, 0}, {65536, 900, 1500, 600}};
  std::mt19937 random(20261206);
  for (const auto& c : cases) {
    for (const bool descending : {true, false}) {
      SCOPED_TRACE(testing::Message()
                   << c.buckets << " buckets, " << c.first << " " << c.second << " " << c.third);
      std::vector<std::string> texts;
      const std::vector<Entry> entries = RandomEntries(random, c.first + c.second + c.third, texts);
      Tables expected(c.buckets);
      for (const Entry& e : entries) expected.Insert(e);
      Tables filled(c.buckets);
      auto next = entries.begin();
      for (const size_t n : {c.first, c.second, c.third}) {
        std::vector<Entry> part(next, next + static_cast<long>(n));
        next += static_cast<long>(n);
        if (descending) {
          std::sort(part.begin(), part.end(),
                    [](const Entry& a, const Entry& b) { return RuleTblCmp(&a.key, &b.key) > 0; });
        }
        ASSERT_EQ(filled.Fill(part), 0);
      }
      EXPECT_EQ(filled.State(), expected.State());
      const Entry& e = entries.front();
      EXPECT_EQ(RuleTblInsert(&filled.rules->ruleTbl, &e.key, &e.datum), RULEDB_EINVAL);
      EXPECT_EQ(expected.Fill({e}), RULEDB_EINVAL);
      EXPECT_EQ(filled.State(), expected.State());
    }
  }
}

TEST(HashTblFill, RefusalsAndFailedAllocationsLeaveTheTableAsItWas) {
  std::mt19937 random(99);
  std::vector<std::string> texts;
  const std::vector<Entry> entries = RandomEntries(random, 200, texts);
  const auto stored = [&entries](Tables& tables) {
    ASSERT_EQ(tables.Fill({entries.begin(), entries.begin() + 50}), 0);
  };
  Tables tables(16);
  stored(tables);
  const std::vector<std::string> before = tables.State();
  const std::vector<Entry> batch(entries.begin() + 50, entries.end());
  const std::vector<std::pair<std::vector<Entry>, int32_t>> refused = {
      {{batch[0], batch[1], batch[1]}, RULEDB_EEXIST},     // repeated in the batch
      {{batch[2], entries[10], batch[3]}, RULEDB_EEXIST},  // already stored
  };
  for (const auto& [bad, status] : refused) {
    const SysLog log;
    EXPECT_EQ(tables.Fill(bad), status);
    EXPECT_EQ(
        log.Lines(),
        (std::vector<std::string>{" [VARO][RuleTblFill 115] refused a repeated RuleTblKey\n"}));
    EXPECT_EQ(tables.State(), before);
  }
  // Each fill takes its scratch counts and one block: two allocations.
  const long failures = polc_test::CountFailingAllocations([&](long n) {
    Tables fresh(16);
    stored(fresh);
    const SysLog log;
    polc_test::AllocationFault fault(n);
    const int32_t status = fresh.Fill(batch);
    if (!fault.Fired()) return false;
    EXPECT_EQ(status, RULEDB_ENOMEM) << n;
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{
                  n <= 2 ? " [VARO][RuleTblFill 110] failed to allocate memory for 150 rules\n"
                         : " [VARO][StrTblFill 130] failed to allocate memory for 150 entries\n"})
        << n;
    if (n <= 2) {
      EXPECT_EQ(fresh.State(), before);
    }
    return true;
  });
  EXPECT_EQ(failures, 6) << "a per-entry allocation would show here";
  HashTbl noBuckets{};
  ASSERT_EQ(RuleTblInit(&noBuckets, 0), 0);
  const SysLog log;
  EXPECT_EQ(RuleTblFill(&noBuckets, &batch[0].key, &batch[0].datum, sizeof(Entry), 2),
            RULEDB_EINVAL);
  EXPECT_EQ(RuleTblFill(&noBuckets, nullptr, nullptr, sizeof(Entry), 0), 0) << "an empty batch";
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{" [VARO][RuleTblFill 120] failed to fill rule tbl\n"}));
  RuleTblDestroy(&noBuckets);
}

TEST(RuleTblInsert, CopiesKeyAndDatumAndLogsEachFailureItsOwnWay) {
  Db db;
  ASSERT_EQ(RuleTblInit(&db->ruleTbl, 2), 0);
  RuleTblKey key{4, 5, 6, RULE_GRANT};
  RuleTblDatum datum{0x11};
  const std::string failures[] = {
      " [VARO][RuleTblInsert 71] failed to allocate memory for RuleTblKey\n",
      " [VARO][RuleTblInsert 76] failed to allocate memory for RuleTblDatum\n",
      " [VARO][RuleTblInsert 90] failed to insert rule into tbl\n"};  // the node
  for (long n = 1; n <= 3; n++) {
    const SysLog log;
    polc_test::AllocationFault fault(n);
    EXPECT_EQ(RuleTblInsert(&db->ruleTbl, &key, &datum), RULEDB_EINVAL);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{failures[n - 1]});
  }
  ASSERT_EQ(RuleTblInsert(&db->ruleTbl, &key, &datum), 0);
  const RuleTblKey inserted = key;
  key.source = 9;
  datum.value = 0x22;
  const SysLog log;
  EXPECT_EQ(RuleTblInsert(&db->ruleTbl, &inserted, &datum), RULEDB_EINVAL);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{failures[2]});
  EXPECT_EQ(static_cast<RuleTblDatum*>(RuleTblSearch(&db->ruleTbl, &inserted)->datum)->value,
            0x11u);
  EXPECT_EQ(db->ruleTbl.nel, 1u);
}

TEST(PolicyCursor, PutsAndGetsAreLittleEndianAndMoveNothingWhenShort) {
  uint8_t buffer[6] = {};
  PolicyCursor out{buffer, sizeof buffer};
  ASSERT_EQ(PutU32(&out, 0x04030201), 0);
  EXPECT_EQ(PutU32(&out, 0xFFFFFFFF), RULEDB_EINVAL);
  ASSERT_EQ(PutU16(&out, 0x0605), 0);
  EXPECT_EQ(PutU16(&out, 0xFFFF), RULEDB_EINVAL);
  EXPECT_EQ(PutBytes(&out, "x", 0), RULEDB_EINVAL);
  EXPECT_EQ(out.remaining, 0u);
  EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{1, 2, 3, 4, 5, 6}));
  PolicyCursor in{buffer, 5};
  uint32_t u32 = 0;
  uint16_t u16 = 0xBEEF;
  ASSERT_EQ(GetU32(&in, &u32), 0);
  EXPECT_EQ(u32, 0x04030201u);
  EXPECT_EQ(GetU16(&in, &u16), RULEDB_EINVAL);
  EXPECT_EQ(u16, 0xBEEF);
  EXPECT_EQ(in.remaining, 1u);
  EXPECT_EQ(in.pos, buffer + 4);
}

// What the reader builds from polc's image: lists in file order, and the
// image it writes back is the one it read.
TEST(PolicyBinary, ReadsBackWhatPolcWroteAndWritesTheSameBytes) {
  const Bytes& image = RichImage();
  ASSERT_EQ(image.size(), RICH_SIZE);
  Db db;
  ASSERT_EQ(Read(image, &db.db), 0);
  EXPECT_EQ(db->flags, 0x1Fu);
  EXPECT_EQ(db->version, 1u);
  EXPECT_STREQ(db->symNames[2], "domain");
  EXPECT_EQ(*static_cast<uint32_t*>(StrTblSearch(&db->symTbl, "proc_t")->datum), 1u);
  EXPECT_EQ(Listed(db->objCtxs[OBJ_CTX_INITIAL_SID]), (std::vector<std::string>{"3=0", "1=1"}));
  EXPECT_EQ(Listed(db->objCtxs[OBJ_CTX_NETIF]), (std::vector<std::string>{"lo=1", "eth0=0"}));
  const ObjCtx* packet = db->objCtxs[OBJ_CTX_PACKET];
  EXPECT_EQ(
      std::vector<uint32_t>({packet->sourceAddress, packet->sourceMask, packet->destinationAddress,
                             packet->destinationMask, packet->sportStart, packet->sportEnd,
                             packet->dportStart, packet->dportEnd, packet->protocol, packet->type}),
      std::vector<uint32_t>({0xC0A80001, 32, 0x0A000000, 8, 1024, 65535, 80, 80, 6, 2}));
  EXPECT_STREQ(static_cast<char*>(StrTblSearch(&db->fileCtxTbl, "/usr/bin/app")->datum), "proc_t");
  ASSERT_EQ(db->typeToAttrsCount, 3u);
  EXPECT_EQ(std::vector<uint16_t>(db->typeToAttrsArr[1].values, db->typeToAttrsArr[1].values + 2),
            (std::vector<uint16_t>{2, 1}));
  const RuleTblKey key{2, 1, 2, RULE_GRANT};
  EXPECT_EQ(static_cast<RuleTblDatum*>(RuleTblSearch(&db->ruleTbl, &key)->datum)->value, 0x10001u);
  EXPECT_EQ(Write(&db.db).image, image);
  Bytes longer = image;
  longer.insert(longer.end(), {0xDE, 0xAD});
  Db again;
  EXPECT_EQ(Read(longer, &again.db), 0) << "bytes after the rules are not examined";
}

// Every room from none to the whole image, in one buffer or streamed through
// a buffer of a few bytes: the writer fails in the section where room runs
// out, touches nothing past its buffer, and what it wrote begins the image.
TEST(PolicyBinary, EveryBufferSize) {
  Db db;
  ASSERT_EQ(Read(RichImage(), &db.db), 0);
  const auto append = [](void* out, const uint8_t* bytes, size_t count) {
    static_cast<Bytes*>(out)->insert(static_cast<Bytes*>(out)->end(), bytes, bytes + count);
  };
  for (size_t budget = 0; budget <= RICH_SIZE; budget++) {
    for (const size_t chunk : {size_t{0}, size_t{1}, size_t{3}, size_t{16}}) {  // 0: no sink
      SCOPED_TRACE(testing::Message() << budget << " bytes of room, chunks of " << chunk);
      const size_t capacity = chunk == 0 ? budget : chunk;
      Bytes buffer(capacity + 8, 0xAA);
      Bytes written;
      PolicySink sink{append, &written, buffer.data(), capacity, budget};
      PolicyCursor cursor =
          chunk == 0 ? PolicyCursor{buffer.data(), capacity} : PolicySinkCursor(&sink);
      const SysLog log;
      EXPECT_EQ(RuleDataBaseWrite(&db.db, &cursor), budget == RICH_SIZE ? 0 : RULEDB_EINVAL);
      EXPECT_EQ(log.Lines(), budget == RICH_SIZE
                                 ? std::vector<std::string>{}
                                 : std::vector<std::string>{SectionAt(budget).writeLine});
      if (chunk != 0) PolicySinkFlush(&cursor);
      written.insert(written.end(), buffer.data(), cursor.pos);
      EXPECT_LE(written.size(), budget);
      EXPECT_TRUE(std::equal(written.begin(), written.end(), RichImage().begin()));
      EXPECT_EQ(written.size() == RICH_SIZE, budget == RICH_SIZE);
      EXPECT_EQ(Bytes(buffer.end() - 8, buffer.end()), Bytes(8, 0xAA));
    }
  }
}

TEST(PolicyBinary, EveryTruncatedImageIsRefusedInItsSection) {
  const Bytes& image = RichImage();
  for (size_t length = 0; length < image.size(); length++) {
    const SysLog log;
    Db db;
    EXPECT_EQ(Read(Bytes(image.begin(), image.begin() + static_cast<long>(length)), &db.db),
              RULEDB_EINVAL)
        << length;
    const std::string& line = SectionAt(length).readLine;
    EXPECT_EQ(log.Lines(),
              line.empty() ? std::vector<std::string>{} : std::vector<std::string>{line})
        << length;
  }
}

TEST(PolicyBinary, EveryFailedAllocationFailsCleanly) {
  const long reads = polc_test::CountFailingAllocations([](long n) {
    const SysLog log;
    Db db;
    polc_test::AllocationFault fault(n);
    const int32_t status = Read(RichImage(), &db.db);
    if (!fault.Fired()) return false;
    EXPECT_TRUE(status == RULEDB_ENOMEM || status == RULEDB_EINVAL) << n << ": " << status;
    EXPECT_FALSE(log.Lines().empty()) << n;
    EXPECT_NE(log.Lines().back().find("[RuleDataBaseRead 7"), std::string::npos) << n;
    return true;
  });
  EXPECT_GT(reads, 30) << "too few allocations: is calloc wrapped?";
  Db db;
  ASSERT_EQ(Read(RichImage(), &db.db), 0);
  const long writes = polc_test::CountFailingAllocations([&db](long n) {
    const SysLog log;
    polc_test::AllocationFault fault(n);
    const int32_t status = Write(&db.db).status;
    if (!fault.Fired()) return false;
    EXPECT_EQ(status, RULEDB_ENOMEM);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{RICH_SECTIONS[4].writeLine});
    return true;
  });
  EXPECT_EQ(writes, 3) << "one scratch array per type-attribute entry";
}

TEST(PolicyBinary, TheReaderRefusesBadImagesWithTheSectionLine) {
  const std::string symbols = RICH_SECTIONS[1].readLine;
  const std::string objects = RICH_SECTIONS[2].readLine;
  const std::string files = RICH_SECTIONS[3].readLine;
  const std::string typeattrs = RICH_SECTIONS[4].readLine;
  const std::string rules = RICH_SECTIONS[5].readLine;
  const uint32_t huge = 0xFFFFFFFF;
  const auto header = [](uint32_t flags) { return Image().Header(flags); };
  // clang-format off
  const struct {
    int32_t status;
    std::vector<std::string> lines;
    Bytes image;
  } cases[] = {
      {RULEDB_EINVAL, {}, Bytes(19, 0)},
      {RULEDB_EINVAL,
       {" [VARO][RuleDataBaseRead 742] [Mismatched magic number][magic=0x12345678]\n"},
       Image().Header(0, 0x12345678).U32s({0, 0}).bytes},
      {RULEDB_EINVAL,
       {" [VARO][RuleDataBaseRead 751] [Mismatched symbol or object count][symCnt=2, objCnt=3]\n"},
       Image().Header(0, POLICY_MAGIC, 2).U32s({0, 0}).bytes},
      {RULEDB_EINVAL, {symbols}, header(0).U32s({huge, 0}).bytes},
      {RULEDB_ENOMEM, {symbols}, header(0).U32s({1, 1, 1}).Text("a").U32(0).bytes},
      {RULEDB_EINVAL, {symbols}, header(0).U32s({1, 0, 0, 0, 0}).bytes},
      {RULEDB_EINVAL, {symbols}, header(0).U32s({1, huge, 0, 0}).bytes},
      {RULEDB_EINVAL, {symbols}, header(0).U32s({1, 9, 0}).Text("abcd").bytes},
      {RULEDB_EEXIST, {symbols},
       header(0).U32s({2, 1, 0}).Text("a").U32s({1, 1}).Text("a").U32(0).bytes},
      {RULEDB_EINVAL, {objects}, header(FLAG_INITIAL_SID).U32s({0, huge, 0}).bytes},
      {RULEDB_EINVAL, {objects}, header(FLAG_NETIF).U32s({0, 2, 1}).U16(0).Text("e").bytes},
      {RULEDB_EINVAL, {objects}, header(FLAG_NETIF).U32s({0, 1, 0}).U16(0).U32(0).bytes},
      {RULEDB_EINVAL, {objects}, header(FLAG_NETIF).U32s({0, 1, huge}).U16(0).U32(0).bytes},
      {RULEDB_EINVAL, {objects}, header(FLAG_PACKET).U32s({0, 1, 0, 0, 0, 0, 0}).bytes},
      {RULEDB_EINVAL, {files}, header(FLAG_FILE_CONTEXT).U32s({0, huge, 0}).bytes},
      {RULEDB_EINVAL, {files}, header(FLAG_FILE_CONTEXT).U32s({0, 1, 0, 1}).Text("c").U32(0).bytes},
      {RULEDB_EINVAL, {files},
       header(FLAG_FILE_CONTEXT).U32s({0, 1, 1, huge}).Text("/").U32(0).bytes},
      {RULEDB_EEXIST, {files},
       header(FLAG_FILE_CONTEXT).U32s({0, 2, 1, 1}).Text("/c").U32s({1, 1}).Text("/d")
           .U32(0).bytes},
      {RULEDB_EINVAL, {typeattrs},
       header(FLAG_TYPEATTR).U32s({1, 1, 0}).Text("a").U16(0).U32(0).bytes},
      {RULEDB_EINVAL, {typeattrs},
       header(FLAG_TYPEATTR).U32s({1, 1, 0}).Text("a").U16(0xFFFF).U32(0).bytes},
      {RULEDB_EINVAL, {rules}, header(0).U32s({0, 1, 0, 0}).bytes},
      {RULEDB_EINVAL,
       {" [VARO][RuleTblInsert 90] failed to insert rule into tbl\n", rules},
       header(0).U32s({0, 2, 0x20001, 0x10003, 5, 0x20001, 0x10003, 6}).bytes}};
  // clang-format on
  for (const auto& c : cases) {
    const SysLog log;
    Db db;
    EXPECT_EQ(Read(c.image, &db.db), c.status) << testing::PrintToString(c.image);
    EXPECT_EQ(log.Lines(), c.lines) << testing::PrintToString(c.image);
  }
  // A count the bytes cannot hold allocates nothing; a failed symbol
  // section drops the name index but keeps the symbols for destroy.
  Db huge28;
  EXPECT_EQ(Read(header(0).U32s({huge, 0}).bytes, &huge28.db), RULEDB_EINVAL);
  EXPECT_EQ(huge28->symTbl.buckets, nullptr);
  Db half;
  EXPECT_EQ(Read(header(0).U32s({2, 1, 0}).Text("a").U32s({0, 1, 0}).bytes, &half.db),
            RULEDB_EINVAL);
  EXPECT_EQ(half->symNames, nullptr);
  EXPECT_EQ(half->symTbl.nel, 1u);
}

// Crafted images that read: any version and unknown flag bits are kept;
// object blocks follow the flags alone, so a set flag with no records is an
// empty block; 65537 symbols give a type-attribute section of one entry.
// Each writes back the bytes it was read from.
TEST(PolicyBinary, CraftedImagesThatReadWriteBackTheSameBytes) {
  Image many = Image().Header(FLAG_TYPEATTR).U32(65537);
  for (uint32_t value = 0; value < 65537; value++) {
    const std::string name = "t" + std::to_string(value);
    many.U32s({static_cast<uint32_t>(name.size()), value}).Text(name);
  }
  Db sorted;  // the records in map order, as the reader's tables give them
  ASSERT_EQ(Read(many.U16(1).U16(0).U32(0).bytes, &sorted.db), 0);
  const Bytes images[] = {
      Image().Header(0x100).U32s({0, 0}).bytes,
      Image()
          .Header(FLAG_NETIF)
          .U32s({1, 4, 0})
          .Text("if_t")
          .U32s({1, 4})
          .U16(0)
          .Text("eth1")
          .U32(0)
          .bytes,
      Image().Header(FLAG_PACKET).U32s({1, 4, 0}).Text("if_t").U32s({0, 0}).bytes,
      Write(&sorted.db).image};
  for (const Bytes& image : images) {
    const SysLog log;
    Db db;
    ASSERT_EQ(Read(image, &db.db), 0);
    EXPECT_EQ(Write(&db.db).image, image);
    EXPECT_TRUE(log.Lines().empty());
  }
  EXPECT_EQ(sorted->typeToAttrsCount, 1u);
  Bytes version7 = images[0];
  version7[4] = 7;
  Db db;
  ASSERT_EQ(Read(version7, &db.db), 0);
  EXPECT_EQ(db->version, 7u);
  EXPECT_EQ(db->flags, 0x100u);
}

TEST(PolicyBinary, TheWriterRefusesWhatTheFormatCannotCarry) {
  const struct {
    void (*spoil)(RuleDataBase* db);
    int section;
  } cases[] = {{[](RuleDataBase* db) { db->typeToAttrsArr[1].count = 0; }, 4},
               {[](RuleDataBase* db) {
                  free(db->typeToAttrsArr[2].values);
                  db->typeToAttrsArr[2].values = nullptr;
                  db->typeToAttrsCount = 2;
                },
                4},
               {[](RuleDataBase* db) { db->flags &= ~FLAG_NETIF; }, 2},
               {[](RuleDataBase* db) { db->objCtxs[OBJ_CTX_NETIF]->name[0] = '\0'; }, 2},
               {[](RuleDataBase* db) { db->symNames[0][0] = '\0'; }, 1},
               {[](RuleDataBase* db) {
                  static_cast<char*>(StrTblSearch(&db->fileCtxTbl, "/etc")->datum)[0] = '\0';
                },
                3}};
  for (const auto& c : cases) {
    Db db;
    ASSERT_EQ(Read(RichImage(), &db.db), 0);
    c.spoil(&db.db);
    const SysLog log;
    EXPECT_EQ(Write(&db.db).status, RULEDB_EINVAL) << c.section;
    EXPECT_EQ(log.Lines(), std::vector<std::string>{RICH_SECTIONS[c.section].writeLine});
  }
}

TEST(RuleDataBaseDestory, ReleasesAnyStateOnceAndLogsAnEmptyTypeAttrEntry) {
  const SysLog log;
  RuleDataBase db{};
  RuleDataBaseDestory(&db);
  ASSERT_EQ(Read(RichImage(), &db), 0);
  free(db.typeToAttrsArr[1].values);
  db.typeToAttrsArr[1].values = nullptr;  // as a compile that failed midway leaves it
  RuleDataBaseDestory(&db);
  RuleDataBaseDestory(&db);
  EXPECT_EQ(db.symNames, nullptr);
  EXPECT_EQ(db.typeToAttrsArr, nullptr);
  for (ObjCtx* head : db.objCtxs) EXPECT_EQ(head, nullptr);
  EXPECT_EQ(db.symTbl.nel, 3u);
  EXPECT_EQ(db.flags, 0x1Fu);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "info: [VARO][RuleDataBaseDestory 886] [Ignore an empty typeAttrs in "
                             "typeToAttrsArr]\n"}));
}

}  // namespace
