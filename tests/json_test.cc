// The JSON library: the dialect accepted and refused with the place a parse
// stops, the arena, allocation failures, the access functions and the
// public JSONTestSuite cases.
#include "json/json.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/polc_test.h"

namespace {

struct Deleter {
  void operator()(JsonValue* value) const { JsonDelete(value); }
};
using Doc = std::unique_ptr<JsonValue, Deleter>;

// Hooks that keep the size of every live block and fail the n-th
// allocation on request.
struct Blocks {
  std::map<void*, uint32_t> live;
  uint32_t calls = 0;
  uint32_t failAt = 0;  // 0: none fails
} g_blocks;

void* CountingAlloc(uint32_t size) {
  if (++g_blocks.calls == g_blocks.failAt) return nullptr;
  void* block = std::malloc(size);
  g_blocks.live[block] = size;
  return block;
}

void CountingFree(void* block) {
  EXPECT_EQ(g_blocks.live.erase(block), 1u) << "a block the hooks did not hand out";
  std::free(block);
}

class Json : public testing::Test {
 protected:
  void SetUp() override {
    g_blocks = Blocks{};
    const JsonHooks hooks{CountingAlloc, CountingFree};
    ASSERT_EQ(JsonInitHooks(&hooks), JSON_OK);
  }
  void TearDown() override {
    EXPECT_TRUE(g_blocks.live.empty()) << g_blocks.live.size() << " blocks still allocated";
    JsonInitHooks(&before);
  }

 private:
  const JsonHooks before = JsonGetHooks();
};

// A copy of `text` in a block of exactly its size, so that the address
// sanitizer catches any read past the terminator.
std::unique_ptr<char[]> Exact(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

Doc Parse(const std::string& text) {
  JsonValue* root = nullptr;
  return Doc(JsonParse(Exact(text).get(), &root) == JSON_OK ? root : nullptr);
}

std::string Quote(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    out += byte < 0x20 || byte > 0x7E || byte == '"' || byte == '\\' ? hex : std::string(1, *p);
  }
  return out + "\"";
}

// The tree as text, read through the access functions: null true false,
// integers in decimal, doubles as d<%.17g>, strings and keys quoted with
// every byte outside 0x20..0x7E, '"' and '\' as \xHH.
std::string Dump(JsonValue* value) {
  char number[64];
  std::string out;
  const char* text = nullptr;
  switch (JsonGetKind(value)) {
    case JSON_NULL:
      return "null";
    case JSON_TRUE:
      return "true";
    case JSON_FALSE:
      return "false";
    case JSON_NUMBER:
      if ((value->tag & JSON_FLAG_DOUBLE) != 0) {
        const double real = value->real;
        std::snprintf(number, sizeof number, "d%.17g", real);
      } else {
        const int64_t integer = value->integer;
        std::snprintf(number, sizeof number, "%" PRId64, integer);
      }
      return number;
    case JSON_STRING:
      EXPECT_EQ(JsonGetString(value, &text), JSON_OK);
      return Quote(text);
    case JSON_ARRAY:
      for (uint32_t i = 0; i < JsonGetArraySize(value); ++i) {
        JsonValue* element = nullptr;
        EXPECT_EQ(JsonGetArrayItem(value, i, &element), JSON_OK);
        EXPECT_EQ(JsonGetKey(element, &text), JSON_FAIL) << "an element carries a key";
        out += (i == 0 ? "" : ",") + Dump(element);
      }
      return "[" + out + "]";
    default:
      JsonValue* member = nullptr;
      for (int rc = JsonGetFirstChild(value, &member); rc == JSON_OK;
           rc = JsonGetNext(member, &member)) {
        EXPECT_EQ(JsonGetKey(member, &text), JSON_OK);
        out += (out.empty() ? "" : ",") + Quote(text) + ":" + Dump(member);
      }
      return "{" + out + "}";
  }
}

std::string Repeat(const std::string& part, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += part;
  return out;
}

std::string Key(size_t length) { return "{\"" + std::string(length, 'k') + "\":0}"; }

const std::string DEEP_ARRAY = Repeat("[", JSON_MAX_DEPTH) + Repeat("]", JSON_MAX_DEPTH);
const std::string DEEP_OBJECT =
    Repeat("{\"a\":", JSON_MAX_DEPTH - 1) + "{}" + Repeat("}", JSON_MAX_DEPTH - 1);

TEST_F(Json, AcceptedTextsGiveTheirTree) {
  // clang-format off
  const std::pair<std::string, std::string> rows[] = {
      // Any kind may be the root.
      {"null", "null"}, {" true ", "true"}, {"false", "false"}, {"5", "5"}, {"{}", "{}"},
      {"\"\"", "\"\""}, {"[null,true,false]", "[null,true,false]"},
      // Numbers: strtoll base 0 for integers, strtod after '.', 'e', 'E'.
      {"010", "8"}, {"0x1F", "31"}, {"0X1f", "31"}, {"-0", "0"}, {"-0x10", "-16"},
      {"1.0", "d1"}, {"1e3", "d1000"}, {"-1.5E2", "d-150"}, {"1.", "d1"}, {"01.5", "d1.5"},
      {"0.5e-3", "d0.00050000000000000001"}, {"[1,-2,3.5]", "[1,-2,d3.5]"}, {"-19.5e1", "d-195"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"[0." + std::string(300, '0') + "1,\"x\"]", "[d1.0000000000000001e-301,\"x\"]"},
      {"[" + std::string(300, '0') + "10,7]", "[8,7]"},
      // Whitespace: everything up to 0x20 and every byte from 0x80.
      {"\xEF\xBB\xBF{}", "{}"}, {" \t\r\n[ 1 , 2 ]\n", "[1,2]"}, {"\x01[\x1F]\x20", "[]"},
      {"[1\x80,\xFF" "2]", "[1,2]"},
      // Strings: every byte is text, escapes decode exactly.
      {"\"a\\\"b\"", "\"a\\x22b\""},
      {"\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\x5C/\\x08\\x0C\\x0A\\x0D\\x09\""},
      {"\"\\u0041\\u00e9\\u07FF\\u0800\\uFFFF\"",
       "\"A\\xC3\\xA9\\xDF\\xBF\\xE0\\xA0\\x80\\xEF\\xBF\\xBF\""},
      {"\"\\ud83d\\ude00\"", "\"\\xF0\\x9F\\x98\\x80\""},
      {"\"\\uDBFF\\uDFFF\"", "\"\\xF4\\x8F\\xBF\\xBF\""},
      {"\"a\tb\nc\x01\"", "\"a\\x09b\\x0Ac\\x01\""}, {"\"\xC3\xA9\xFF\"", "\"\\xC3\\xA9\\xFF\""},
      {"\"a\\u0000b\"", "\"a\""},
      // Lengths and distances past one byte of the tape's variable-length fields.
      {"[\"" + std::string(200, 's') + "\",\"" + std::string(20000, 't') + "\"]",
       "[\"" + std::string(200, 's') + "\",\"" + std::string(20000, 't') + "\"]"},
      {"[\"a\"," + std::string(20000, ' ') + "\"" + Repeat("\\n", 100) + "\"]",
       "[\"a\",\"" + Repeat("\\x0A", 100) + "\"]"},
      {"{\"" + Repeat("\\u0041", 33) + "\":" + std::string(300, ' ') + "true}",
       "{\"" + std::string(33, 'A') + "\":true}"},
      // Structure and keys.
      {"{\"a\":[1,{\"b\":null}],\"c\":\"d\"}", "{\"a\":[1,{\"b\":null}],\"c\":\"d\"}"},
      {"{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}"}, {"{\"\":0}", "{\"\":0}"},
      {"{\"\\u00e9\\n\":0}", "{\"\\xC3\\xA9\\x0A\":0}"}, {Key(47), Key(47)},
      {"{\"" + Repeat("\\u00e9", 23) + "k\":0}", "{\"" + Repeat("\\xC3\\xA9", 23) + "k\":0}"},
      {DEEP_ARRAY, DEEP_ARRAY}, {DEEP_OBJECT, DEEP_OBJECT}};
  // clang-format on
  for (const auto& [text, dump] : rows) {
    const Doc doc = Parse(text);
    ASSERT_NE(doc, nullptr) << text << ": error at " << JsonGetErrorPosition() - 1;
    EXPECT_EQ(Dump(doc.get()), dump);
    EXPECT_EQ(JsonGetErrorPointer(), nullptr);
    EXPECT_EQ(JsonGetErrorPosition(), 1u);
  }
}

TEST_F(Json, RefusedTextsStopWhereTheyWentWrong) {
  using enum JsonErrorCause;
  struct Row {
    std::string text;
    uint32_t errorOffset;
    bool treeBuilt;  // failed in the build pass: *root set to null
    JsonErrorCause cause;
    uint32_t shownOffset;  // JsonGetError().offset
  };
  // clang-format off
  const Row rows[] = {
      {"", 0, false, UNEXPECTED_END, 0}, {"   ", 3, false, UNEXPECTED_END, 3},
      {"\xEF\xBB\xBF", 3, false, UNEXPECTED_END, 3},
      // Literals and numbers.
      {"nul", 0, false, BAD_LITERAL, 0}, {"True", 0, false, UNEXPECTED_CHARACTER, 0},
      {"[fals]", 1, false, BAD_LITERAL, 1}, {"[t", 1, false, BAD_LITERAL, 1},
      {"nullx", 4, true, TEXT_AFTER_VALUE, 4},
      {"'a'", 0, false, UNEXPECTED_CHARACTER, 0}, {"+1", 0, false, UNEXPECTED_CHARACTER, 0},
      {".5", 0, false, UNEXPECTED_CHARACTER, 0}, {"-", 0, true, INVALID_NUMBER, 0},
      {"[-]", 1, false, INVALID_NUMBER, 1}, {"08", 1, true, INVALID_NUMBER, 0},
      {"1e", 1, true, INVALID_NUMBER, 0}, {"[1.5.3]", 4, false, INVALID_NUMBER, 1},
      {"99999999999999999999", 0, false, NUMBER_OUT_OF_RANGE, 0},
      {"[1e999]", 1, false, NUMBER_OUT_OF_RANGE, 1}, {"-1e999", 0, false, NUMBER_OUT_OF_RANGE, 0},
      {"-99999999999999999999", 0, false, NUMBER_OUT_OF_RANGE, 0},
      // Structure.
      {"[1,]", 3, false, TRAILING_COMMA, 2}, {"[1 2]", 3, false, EXPECTED_COMMA_OR_BRACKET, 3},
      {"[,1]", 1, false, UNEXPECTED_CHARACTER, 1}, {"{\"a\" 1}", 5, false, EXPECTED_COLON, 5},
      {"{\"a\"}", 4, false, EXPECTED_COLON, 4}, {"{\"a\":1,}", 7, false, TRAILING_COMMA, 6},
      {"{1:2}", 1, false, EXPECTED_KEY, 1}, {"{", 1, false, UNEXPECTED_END, 1},
      {"[1", 2, false, EXPECTED_COMMA_OR_BRACKET, 2},
      {"{\"a\":1", 6, false, EXPECTED_COMMA_OR_BRACE, 6},
      {"{\"a\":1, ", 8, false, UNEXPECTED_END, 8}, {"{\"a\":", 5, false, UNEXPECTED_END, 5},
      {"{\"a\"", 4, false, UNEXPECTED_END, 4}, {"[1] x", 4, true, TEXT_AFTER_VALUE, 4},
      {"[1]]", 3, true, TEXT_AFTER_VALUE, 3}, {"{}{}", 2, true, TEXT_AFTER_VALUE, 2},
      {"[}", 1, false, MISSING_VALUE, 1}, {"{]", 1, false, EXPECTED_KEY, 1},
      {"{\"a\":}", 5, false, MISSING_VALUE, 5}, {"// note", 0, false, UNEXPECTED_CHARACTER, 0},
      // Strings.
      {"\"abc", 4, false, UNTERMINATED_STRING, 0}, {"\"abc\\", 5, false, UNTERMINATED_STRING, 0},
      {"[\"a\\\"]", 6, false, UNTERMINATED_STRING, 1},
      {"\"\\ud83d\"", 1, false, BAD_ESCAPE, 1}, {"\"\\ude00\"", 1, false, BAD_ESCAPE, 1},
      {"\"\\ud83d\\u0041\"", 1, false, BAD_ESCAPE, 1}, {"\"a\\u12\"", 2, false, BAD_ESCAPE, 2},
      {"\"\\u12G4\"", 1, false, BAD_ESCAPE, 1}, {"\"ab\\x\"", 3, true, BAD_ESCAPE, 3},
      {"[\"\\U0041\"]", 2, true, BAD_ESCAPE, 2}, {"{\"k\\q\":1}", 3, true, BAD_ESCAPE, 3},
      // Limits.
      {Key(48), 1, false, KEY_TOO_LONG, 1},
      {"{\"" + Repeat("\\u0041", 43) + "\":0}", 1, false, KEY_TOO_LONG, 1},
      {"[" + Key(48) + "]", 2, false, KEY_TOO_LONG, 2},
      {"[" + DEEP_ARRAY + "]", JSON_MAX_DEPTH, false, TOO_DEEP, JSON_MAX_DEPTH},
      {"{\"a\":" + DEEP_OBJECT + "}", 5 * JSON_MAX_DEPTH, false, TOO_DEEP, 5 * JSON_MAX_DEPTH}};
  // clang-format on
  for (const Row& row : rows) {
    const auto text = Exact(row.text);
    JsonValue sentinel{};
    JsonValue* root = &sentinel;
    ASSERT_EQ(JsonParse(text.get(), &root), JSON_FAIL) << row.text;
    EXPECT_EQ(root, row.treeBuilt ? nullptr : &sentinel) << row.text;
    EXPECT_EQ(JsonGetErrorPosition(), row.errorOffset + 1) << row.text;
    EXPECT_EQ(JsonGetErrorPointer(), text.get() + row.errorOffset) << row.text;
    EXPECT_EQ(JsonGetError().cause, row.cause)
        << row.text << ": " << JsonErrorMessage(JsonGetError().cause);
    EXPECT_EQ(JsonGetError().offset, row.shownOffset) << row.text;
  }
}

TEST_F(Json, ParseFailsAtOnceOnBadArgumentsAndKeepsErrno) {
  JsonValue* root = nullptr;
  ASSERT_EQ(JsonParse("[1,]", &root), JSON_FAIL);
  const char* errorBefore = JsonGetErrorPointer();
  EXPECT_EQ(JsonParse(nullptr, &root), JSON_FAIL);
  EXPECT_EQ(JsonParse("1", nullptr), JSON_FAIL);
  EXPECT_EQ(JsonParse(std::string(JSON_MAX_TEXT_LENGTH + 1, ' ').c_str(), &root), JSON_FAIL);
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(JsonGetErrorPointer(), errorBefore);
  EXPECT_EQ(g_blocks.calls, 1u) << "only the first parse allocates";
  for (const char* text : {"1e999", "[1.5]", "99999999999999999999", "7"}) {
    errno = EINTR;
    Parse(text);
    EXPECT_EQ(errno, EINTR) << text;
  }
}

// A \u0000 escape decodes to a NUL inside the text; with
// JSON_PARSE_REFUSE_NUL_ESCAPE it fails at its backslash instead.
TEST_F(Json, NulEscapeDecodesOrFailsWithTheOption) {
  const Doc doc = Parse("[\"a\\u0000b\"]");
  const char* text = nullptr;
  ASSERT_EQ(JsonGetArrayString(doc.get(), 0, &text), JSON_OK);
  EXPECT_EQ(std::string(text, 4), std::string("a\0b\0", 4));
  constexpr uint32_t ACCEPTED = UINT32_MAX;
  const std::pair<std::string, uint32_t> rows[] = {
      {"[\"a\\u0000b\"]", 3},
      {"{\"k\\u0000\":1}", 3},
      {"{\"k\":\"\\n\\u00000\"}", 8},
      {"[\"\\u0001\\u0100\\ud800\\udc00\\/\"]", ACCEPTED},
      {"[\"\\\\u0000\"]", ACCEPTED}};
  for (const auto& [json, errorOffset] : rows) {
    const auto exact = Exact(json);
    JsonValue* root = nullptr;
    const int result =
        JsonParseWithOptions(exact.get(), json.size(), &root, JSON_PARSE_REFUSE_NUL_ESCAPE);
    EXPECT_EQ(result, errorOffset == ACCEPTED ? JSON_OK : JSON_FAIL) << json;
    if (result == JSON_OK) {
      JsonDelete(root);
    } else {
      EXPECT_EQ(JsonGetErrorPointer(), exact.get() + errorOffset) << json;
    }
  }
}

// Follows the nodes of `value` in document order, checking that each starts
// where the previous node, key and text ended; returns the end of the last.
const uint8_t* CheckPacked(JsonValue* value, const uint8_t* expected) {
  const auto* at = reinterpret_cast<const uint8_t*>(value);
  EXPECT_EQ(at, expected) << "node of kind " << int(JsonGetKind(value)) << " not packed";
  EXPECT_NE(value->tag & JSON_FLAG_ARENA, 0);
  const uint8_t* end = at + JsonNodeSize(JsonGetKind(value));
  const char* text = nullptr;
  if (JsonGetKey(value, &text) == JSON_OK) {
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(text), end + sizeof(uint32_t));
    end += sizeof(uint32_t) + std::strlen(text) + 1;
  }
  if (JsonGetString(value, &text) == JSON_OK) {
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(text), end);
    end += std::strlen(text) + 1;
  }
  JsonValue* child = nullptr;
  if (JsonGetKind(value) == JSON_ARRAY) child = value->array.first;
  if (JsonGetKind(value) == JSON_OBJECT) child = value->object.first;
  for (; child != nullptr; child = child->next) end = CheckPacked(child, end);
  return end;
}

// A random document of every kind, escapes included (no \u0000, so that
// strlen gives every text's size).
std::string RandomValue(std::mt19937& rng, int depth) {
  static const char* const SCALARS[] = {"null",
                                        "true",
                                        "false",
                                        "0",
                                        "-12",
                                        "0x7f",
                                        "3.25",
                                        "1e-5",
                                        "\"\"",
                                        "\"abc\"",
                                        "\"a\\n\\u00e9\\ud83d\\ude00\"",
                                        "\"\\\\\\\"x\"",
                                        "\"\t\xC3\xA9\""};
  const int pick = static_cast<int>(rng() % (depth > 4 ? 13 : 16));
  if (pick < 13) return SCALARS[pick];
  const bool isObject = pick == 15;
  std::string out = isObject ? "{" : "[";
  for (int i = 0, count = static_cast<int>(rng() % 6); i < count; ++i) {
    if (i > 0) out += " ,\n";
    if (isObject) out += "\"k" + std::to_string(rng() % 3) + (i % 2 ? "\\t" : "") + "\" : ";
    out += RandomValue(rng, depth + 1);
  }
  return out + (isObject ? "}" : "]");
}

TEST_F(Json, TheArenaHoldsNodesKeysAndTextsBackToBackAndNothingElse) {
  std::mt19937 rng(7);
  std::vector<std::string> texts = {"0", "\"\"", "[]", "{\"a\":[{\"b\":\"c\"}]}"};
  for (int i = 0; i < 400; ++i) texts.push_back(RandomValue(rng, 0));
  texts.push_back("[" + Repeat(RandomValue(rng, 0) + ",", 2000) + "0]");  // allocated tape
  for (const std::string& text : texts) {
    const Doc doc = Parse(text);
    ASSERT_NE(doc, nullptr) << text;
    ASSERT_EQ(g_blocks.live.size(), 1u) << "only the arena outlives the parse";
    const auto* arena = static_cast<const uint8_t*>(g_blocks.live.begin()->first);
    ASSERT_EQ(arena, reinterpret_cast<const uint8_t*>(doc.get()));
    EXPECT_EQ(CheckPacked(doc.get(), arena), arena + g_blocks.live.begin()->second) << text;
  }
}

// The tree as Dump shows it, walked as the policy readers walk it: child
// after child, each given back once read, then the container.
std::string DumpReleasing(const JsonValue* root, JsonValue* value) {
  const uint8_t kind = JsonGetKind(value);
  if (kind != JSON_ARRAY && kind != JSON_OBJECT) return Dump(value);
  std::string out;
  JsonValue* child = nullptr;
  if (kind == JSON_ARRAY) {
    JsonGetFirstElement(value, &child);
  } else {
    JsonGetFirstChild(value, &child);
  }
  while (child != nullptr) {
    const char* key = nullptr;
    if (!out.empty()) out += ",";
    if (kind == JSON_OBJECT && JsonGetKey(child, &key) == JSON_OK) out += Quote(key) + ":";
    out += DumpReleasing(root, child);
    JsonValue* next = JsonNextSibling(child);
    JsonRelease(root, value, next);
    child = next;
  }
  JsonRelease(root, value, nullptr);
  return (kind == JSON_ARRAY ? "[" : "{") + out + (kind == JSON_ARRAY ? "]" : "}");
}

// Whatever part of a document is deferred, in windows of any size, it reads
// as the document built whole, walked child by child and given back as it
// goes, or looked into by index and key.
TEST_F(Json, DeferredDocumentsReadAsWholeOnes) {
  std::mt19937 rng(11);
  std::vector<std::string> texts;
  for (int i = 0; i < 200; ++i) texts.push_back(RandomValue(rng, 0));
  // Some pages large, for the memory given back.
  texts.push_back("[" + Repeat(RandomValue(rng, 0) + ",", 3000) + "{\"a\": [" +
                  Repeat("\"xyzw\",", 20000) + "0]}]");
  for (const std::string& text : texts) {
    const std::string whole = Dump(Parse(text).get());
    for (const uint32_t deferBytes : {1u, 100u, 5000u}) {
      for (const bool releasing : {false, true}) {
        const auto exact = Exact(text);
        JsonValue* root = nullptr;
        ASSERT_EQ(
            JsonParseWithOptions(exact.get(), text.size(), &root, JSON_PARSE_DEFER, deferBytes),
            JSON_OK);
        const Doc doc(root);
        EXPECT_EQ(releasing ? DumpReleasing(root, root) : Dump(root), whole)
            << deferBytes << " " << text.substr(0, 200);
      }
    }
  }
}

// With the default hooks, the huge pages a walk is done with move ahead of
// the build; every value still reads as built whole, whichever pages moved,
// those of the member built before the deferred one's children too.
TEST(JsonPages, ADeferredDocumentReadsWholeWhilePagesMoveAhead) {
  std::string text = "{\"big\": [";
  for (int i = 0; i < 60000; ++i) {
    const std::string n = std::to_string(i);
    text += "{\"name\": \"entry_" + n + "\", \"list\": [\"a" + n + "\", \"b\\t" + n + "\", " + n +
            "]},\n";
  }
  text += "{}], \"after\": [" + Repeat("\"after\",", 300) + "0]}";
  const std::string whole = Dump(Parse(text).get());
  for (const uint32_t deferBytes : {JSON_DEFER_BYTES, 65536u}) {
    const auto exact = Exact(text);
    JsonValue* root = nullptr;
    ASSERT_EQ(JsonParseWithOptions(exact.get(), text.size(), &root, JSON_PARSE_DEFER, deferBytes),
              JSON_OK);
    const Doc doc(root);
    EXPECT_EQ(DumpReleasing(root, root), whole) << deferBytes;
  }
}

TEST_F(Json, EveryFailedAllocationLeavesNothing) {
  const std::string texts[] = {"[1,2]", "[\"" + std::string(5000, 'x') + "\"]",
                               "[" + Repeat("1,", 4000) + "1]"};  // the tape grows
  for (const std::string& text : texts) {
    for (uint32_t failAt = 1;; ++failAt) {
      g_blocks = Blocks{{}, 0, failAt};
      JsonValue sentinel{};
      JsonValue* root = &sentinel;
      if (JsonParse(text.c_str(), &root) == JSON_OK) {
        EXPECT_GE(failAt, 3u) << "the parse state and the arena at least";
        JsonDelete(root);
        break;
      }
      EXPECT_EQ(root, &sentinel) << "allocation " << failAt;
      EXPECT_TRUE(g_blocks.live.empty()) << "allocation " << failAt;
      ASSERT_LT(failAt, 20u);
    }
  }
  g_blocks.failAt = 0;
}

TEST_F(Json, HooksAndDeleteTakeOnlyWhatTheyCan) {
  const JsonHooks noFree{[](uint32_t) -> void* { return nullptr; }, nullptr};
  const JsonHooks noAlloc{nullptr, [](void*) {}};
  EXPECT_EQ(JsonInitHooks(nullptr), JSON_FAIL);
  EXPECT_EQ(JsonInitHooks(&noFree), JSON_FAIL);
  EXPECT_EQ(JsonInitHooks(&noAlloc), JSON_FAIL);
  JsonFree(nullptr);
  Doc doc = Parse("{\"a\":[1,\"x\",{\"b\":[]}],\"c\":null}");
  EXPECT_EQ(g_blocks.calls, 2u) << "the counting hooks still serve";
  JsonValue* a = nullptr;
  ASSERT_EQ(JsonGetObjectItem(doc.get(), "a", &a), JSON_OK);
  JsonDelete(a);
  JsonDelete(nullptr);
  EXPECT_EQ(Dump(doc.get()), "{\"a\":[1,\"x\",{\"b\":[]}],\"c\":null}");
  doc.reset();
  EXPECT_TRUE(g_blocks.live.empty());
  EXPECT_EQ(JsonKeyHash("abc", 3), 0x5F1203A4u);
  EXPECT_EQ(JsonKeyHash("abcdefghijklmnoXYZ", 15), JsonKeyHash("abcdefghijklmno", 15));
  EXPECT_NE(JsonKeyHash("abcdefghijklmno", 15), JsonKeyHash("abcdefghijklmnp", 15));
}

// Failures leave the out value alone, except the array item past the end.
TEST_F(Json, AccessFunctionsCheckKindAndArguments) {
  const Doc doc =
      Parse("{\"s\":\"text\",\"a\":[\"x\",2],\"o\":{},\"Ab\":1,\"ab\":2,\"\\u00e9\":3,\"ab\":4}");
  JsonValue* root = doc.get();
  JsonValue* junk = root;
  JsonValue* array = nullptr;
  ASSERT_EQ(JsonGetObjectItem(root, "a", &array), JSON_OK);
  const char* text = "junk";
  EXPECT_EQ(JsonGetString(array, &text), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayString(array, 1, &text), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayString(array, 2, &text), JSON_FAIL);
  EXPECT_EQ(JsonGetKey(root, &text), JSON_FAIL) << "a root carries no key";
  EXPECT_STREQ(text, "junk");
  EXPECT_EQ(JsonGetArrayString(array, 0, &text), JSON_OK);
  EXPECT_STREQ(text, "x");
  EXPECT_EQ(JsonGetArraySize(array), 2u);
  EXPECT_EQ(JsonGetArraySize(root), 0u);
  EXPECT_EQ(JsonGetArraySize(nullptr), 0u);
  EXPECT_EQ(JsonGetArrayItem(root, 0, &junk), JSON_FAIL);
  EXPECT_EQ(JsonGetNext(root, &junk), JSON_NO_NEXT);
  EXPECT_EQ(JsonGetFirstChild(array, &junk), JSON_FAIL);
  JsonValue* object = nullptr;
  ASSERT_EQ(JsonGetObjectItem(root, "o", &object), JSON_OK);
  EXPECT_EQ(JsonGetFirstChild(object, &junk), JSON_NO_MEMBER);
  EXPECT_EQ(JsonGetObjectItem(array, "x", &junk), JSON_FAIL);
  EXPECT_EQ(junk, root);
  EXPECT_EQ(JsonGetArrayItem(array, 2, &junk), JSON_FAIL);
  EXPECT_EQ(junk, nullptr) << "index == count stores null";
  // Keys compare exactly; of two equal keys the first is found.
  for (const auto& [key, expected] : std::vector<std::pair<const char*, std::string>>{
           {"Ab", "1"}, {"ab", "2"}, {"\xC3\xA9", "3"}, {"AB", "none"}, {"abc", "none"}}) {
    JsonValue* member = nullptr;
    EXPECT_EQ(JsonGetObjectItem(root, key, &member) == JSON_OK ? Dump(member) : "none", expected);
  }
  EXPECT_EQ(JsonGetString(nullptr, &text) + JsonGetKey(nullptr, &text) + JsonGetKey(root, nullptr) +
                JsonGetNext(nullptr, &junk) + JsonGetNext(root, nullptr) +
                JsonGetFirstChild(nullptr, &junk) + JsonGetFirstChild(root, nullptr) +
                JsonGetObjectItem(nullptr, "s", &junk) + JsonGetObjectItem(root, nullptr, &junk) +
                JsonGetObjectItem(root, "s", nullptr) + JsonGetArrayItem(nullptr, 0, &junk) +
                JsonGetArrayItem(array, 0, nullptr) + JsonGetArrayString(array, 0, nullptr),
            13 * JSON_FAIL)
      << "null arguments";
}

TEST_F(Json, EveryArrayAccessOrderFindsItsElementFromTheNearestStart) {
  for (const uint32_t count : {1u, 7u, 8u, 1000u}) {
    std::string text = "[";
    for (uint32_t i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(i);
    const Doc doc = Parse(text + "]");
    std::vector<JsonValue*> elements;
    for (JsonValue* e = doc->array.first; e != nullptr; e = e->next) elements.push_back(e);
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < count; ++i) order.push_back(i);
    for (uint32_t i = count; i-- > 0;) order.push_back(i);
    for (uint32_t i = 0; i < count; ++i) order.push_back((i * 7919) % count);
    for (const uint32_t index : order) {
      JsonValue* element = nullptr;
      ASSERT_EQ(JsonGetArrayItem(doc.get(), index, &element), JSON_OK);
      ASSERT_EQ(element, elements[index]) << "count " << count << " index " << index;
    }
    if (count < 1000) continue;
    // Loop the middle of the list back to its start: a walk across it from
    // the first element would end on a wrong element.
    elements[500]->next = elements[0];
    for (const uint32_t index : {999u, 990u, 995u}) {
      JsonValue* element = nullptr;
      ASSERT_EQ(JsonGetArrayItem(doc.get(), index, &element), JSON_OK);
      EXPECT_EQ(element, elements[index]);
    }
    elements[500]->next = elements[501];
  }
}

// The suite's y_ cases (in tests/data/jsontestsuite) parse and its n_ cases
// fail, unless listed here with the reason; every i_ case is listed.
TEST_F(Json, EveryJsonTestSuiteCaseGetsItsVerdict) {
  const std::string bytes80 = "bytes from 0x80 are whitespace";
  const std::string strtod = "strtod reads '.' without digits";
  const std::string octal = "a leading 0 reads octal";
  const std::string unchecked = "string bytes are not checked";
  // clang-format off
  const std::map<std::string, std::string> accepted = {
      {"n_array_invalid_utf8", bytes80}, {"n_multidigit_number_then_00", "the text ends at a NUL"},
      {"n_number_-01", octal}, {"n_number_-2.", strtod}, {"n_number_0.e1", strtod},
      {"n_number_2.e+3", strtod}, {"n_number_2.e-3", strtod}, {"n_number_2.e3", strtod},
      {"n_number_U+FF11_fullwidth_digit_one", bytes80}, {"n_number_hex_1_digit", "strtoll: 0x"},
      {"n_number_hex_2_digits", "strtoll: 0x"}, {"n_number_invalid-utf-8-in-bigger-int", bytes80},
      {"n_number_invalid-utf-8-in-exponent", bytes80}, {"n_number_invalid-utf-8-in-int", bytes80},
      {"n_number_neg_int_starting_with_zero", octal}, {"n_number_with_leading_zero", octal},
      {"n_number_real_without_fractional_part", strtod}, {"n_object_emoji", bytes80},
      {"n_string_accentuated_char_no_quotes", bytes80},
      {"n_string_unescaped_newline", "raw control characters are kept"},
      {"n_string_unescaped_tab", "raw control characters are kept"},
      {"n_structure_U+2060_word_joined", bytes80}, {"n_structure_incomplete_UTF8_BOM", bytes80},
      {"n_structure_whitespace_U+2060_word_joiner", bytes80},
      {"n_structure_whitespace_formfeed", "bytes up to 0x20 are whitespace"},
      {"i_string_UTF-8_invalid_sequence", unchecked}, {"i_string_UTF8_surrogate_U+D800", unchecked},
      {"i_string_invalid_utf-8", unchecked}, {"i_string_iso_latin_1", unchecked},
      {"i_string_lone_utf8_continuation_byte", unchecked},
      {"i_string_not_in_unicode_range", unchecked},
      {"i_string_overlong_sequence_2_bytes", unchecked},
      {"i_string_overlong_sequence_6_bytes", unchecked},
      {"i_string_overlong_sequence_6_bytes_null", unchecked},
      {"i_string_truncated-utf-8", unchecked}, {"i_structure_UTF-8_BOM_empty_object", bytes80}};
  // i_ cases refused: range errors, lone or inverted surrogates, UTF-16
  // texts cut at their first NUL, and nesting deeper than 256 levels.
  const std::set<std::string> refused = {
      "i_number_double_huge_neg_exp", "i_number_huge_exp", "i_number_neg_int_huge_exp",
      "i_number_pos_double_huge_exp", "i_number_real_neg_overflow", "i_number_real_pos_overflow",
      "i_number_real_underflow", "i_number_too_big_neg_int", "i_number_too_big_pos_int",
      "i_number_very_big_negative_int", "i_object_key_lone_2nd_surrogate",
      "i_string_1st_surrogate_but_2nd_missing", "i_string_1st_valid_surrogate_2nd_invalid",
      "i_string_UTF-16LE_with_BOM", "i_string_incomplete_surrogate_and_escape_valid",
      "i_string_incomplete_surrogate_pair", "i_string_incomplete_surrogates_escape_valid",
      "i_string_invalid_lonely_surrogate", "i_string_invalid_surrogate",
      "i_string_inverted_surrogates_U+1D11E", "i_string_lone_second_surrogate",
      "i_string_utf16BE_no_BOM", "i_string_utf16LE_no_BOM", "i_structure_500_nested_arrays"};
  // clang-format on
  size_t listedSeen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(
           POLC_SOURCE_DIR "/tests/data/jsontestsuite/test_parsing")) {
    const std::string name = entry.path().stem().string();
    const bool isAccepted = accepted.count(name) != 0;
    const bool isRefused = refused.count(name) != 0;
    listedSeen += isAccepted || isRefused;
    if (name[0] == 'i' && !isAccepted && !isRefused) ADD_FAILURE() << name << " has no verdict";
    const bool expected = isAccepted || (name[0] == 'y' && !isRefused);
    // As the policy reader reads a file: its bytes up to the first NUL.
    EXPECT_EQ(Parse(polc_test::ReadFile(entry.path()).c_str()) != nullptr, expected)
        << name << (isAccepted ? ": " + accepted.at(name) : "");
  }
  EXPECT_EQ(listedSeen, accepted.size() + refused.size()) << "a listed case is missing";
}

}  // namespace
