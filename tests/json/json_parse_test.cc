// The parser: the dialect accepted and refused, decoded bytes, limits, error
// positions, arena layout and allocation failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json/json.h"
#include "tests/json/json_test_util.h"

namespace json_test {
namespace {

std::string Repeat(const std::string& part, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += part;
  return out;
}

std::string Nested(const std::string& open, const std::string& close, size_t depth) {
  return Repeat(open, depth) + Repeat(close, depth);
}

std::string KeyOfLength(size_t length) { return "{\"" + std::string(length, 'k') + "\":0}"; }

struct Accepted {
  std::string text;
  std::string dump;
};

class JsonParseAccepts : public JsonTest, public ::testing::WithParamInterface<Accepted> {};

TEST_P(JsonParseAccepts, GivesTree) {
  const Accepted& row = GetParam();
  Doc doc = Parse(row.text);
  ASSERT_NE(doc, nullptr) << "error at " << JsonGetErrorPosition() - 1;
  EXPECT_EQ(Dump(doc.get()), row.dump);
  EXPECT_EQ(JsonGetErrorPointer(), nullptr);
  EXPECT_EQ(JsonGetErrorPosition(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Dialect, JsonParseAccepts,
    ::testing::Values(
        // Any kind may be the root.
        Accepted{"null", "null"}, Accepted{" true ", "true"}, Accepted{"false", "false"},
        Accepted{"5", "5"}, Accepted{"{}", "{}"}, Accepted{"[]", "[]"}, Accepted{"\"\"", "\"\""},
        Accepted{"[null,true,false]", "[null,true,false]"},
        // Numbers: strtoll base 0 for integers, strtod after '.', 'e', 'E'.
        Accepted{"010", "8"}, Accepted{"0x1F", "31"}, Accepted{"0X1f", "31"}, Accepted{"-0", "0"},
        Accepted{"-0x10", "-16"}, Accepted{"1.0", "d1"}, Accepted{"1e3", "d1000"},
        Accepted{"-1.5E2", "d-150"}, Accepted{"1.", "d1"}, Accepted{"01.5", "d1.5"},
        Accepted{"0.5e-3", "d0.00050000000000000001"},
        Accepted{"9223372036854775807", "9223372036854775807"},
        Accepted{"-9223372036854775808", "-9223372036854775808"},
        Accepted{"[1,-2,3.5]", "[1,-2,d3.5]"},
        // Number texts longer than 255 characters.
        Accepted{"[0." + std::string(300, '0') + "1,\"x\"]", "[d1.0000000000000001e-301,\"x\"]"},
        Accepted{"[" + std::string(300, '0') + "10,7]", "[8,7]"},
        // Whitespace: everything up to 0x20 and every byte from 0x80.
        Accepted{"\xEF\xBB\xBF{}", "{}"}, Accepted{" \t\r\n[ 1 , 2 ]\n", "[1,2]"},
        Accepted{"\x01[\x1F]\x20", "[]"},
        Accepted{"[1\x80,\xFF"
                 "2]",
                 "[1,2]"},
        // Strings: every byte is text, escapes decode exactly.
        Accepted{"\"a\\\"b\"", "\"a\\x22b\""},
        Accepted{"\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\x5C/\\x08\\x0C\\x0A\\x0D\\x09\""},
        Accepted{"\"\\u0041\\u00e9\\u07FF\\u0800\\uFFFF\"",
                 "\"A\\xC3\\xA9\\xDF\\xBF\\xE0\\xA0\\x80\\xEF\\xBF\\xBF\""},
        Accepted{"\"\\ud83d\\ude00\"", "\"\\xF0\\x9F\\x98\\x80\""},
        Accepted{"\"\\uDBFF\\uDFFF\"", "\"\\xF4\\x8F\\xBF\\xBF\""},
        Accepted{"\"a\tb\nc\x01\"", "\"a\\x09b\\x0Ac\\x01\""},
        Accepted{"\"\xC3\xA9\xFF\"", "\"\\xC3\\xA9\\xFF\""}, Accepted{"\"a\\u0000b\"", "\"a\""},
        // Lengths and distances past one byte of the tape's variable-length fields.
        Accepted{"[\"" + std::string(200, 's') + "\",\"" + std::string(20000, 't') + "\"]",
                 "[\"" + std::string(200, 's') + "\",\"" + std::string(20000, 't') + "\"]"},
        Accepted{"[\"a\"," + std::string(20000, ' ') + "\"" + Repeat("\\n", 100) + "\"]",
                 "[\"a\",\"" + Repeat("\\x0A", 100) + "\"]"},
        Accepted{"{\"" + Repeat("\\u0041", 33) + "\":" + std::string(300, ' ') + "true}",
                 "{\"" + std::string(33, 'A') + "\":true}"},
        // Structure and keys.
        Accepted{"{\"a\":[1,{\"b\":null}],\"c\":\"d\"}", "{\"a\":[1,{\"b\":null}],\"c\":\"d\"}"},
        Accepted{"{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}"}, Accepted{"{\"\":0}", "{\"\":0}"},
        Accepted{"{\"\\u00e9\\n\":0}", "{\"\\xC3\\xA9\\x0A\":0}"},
        Accepted{KeyOfLength(47), "{\"" + std::string(47, 'k') + "\":0}"},
        Accepted{"{\"" + Repeat("\\u00e9", 23) + "k\":0}",
                 "{\"" + Repeat("\\xC3\\xA9", 23) + "k\":0}"},
        Accepted{Nested("[", "]", JSON_MAX_DEPTH), Nested("[", "]", JSON_MAX_DEPTH)},
        Accepted{Repeat("{\"a\":", JSON_MAX_DEPTH - 1) + "{}" + Repeat("}", JSON_MAX_DEPTH - 1),
                 Repeat("{\"a\":", JSON_MAX_DEPTH - 1) + "{}" + Repeat("}", JSON_MAX_DEPTH - 1)}));

struct Refused {
  std::string text;
  uint32_t errorOffset;  // where the parse stops
  bool treeBuilt;        // failed after the build pass began: out set to null
};

class JsonParseRefuses : public JsonTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(JsonParseRefuses, RecordsWhereItStopped) {
  const Refused& row = GetParam();
  ExactText text(row.text);
  JsonValue sentinel{};
  JsonValue* root = &sentinel;
  ASSERT_EQ(JsonParse(text.get(), &root), JSON_FAIL);
  EXPECT_EQ(root, row.treeBuilt ? nullptr : &sentinel);
  EXPECT_EQ(JsonGetErrorPosition(), row.errorOffset + 1);
  EXPECT_EQ(JsonGetErrorPointer(), text.get() + row.errorOffset);
}

INSTANTIATE_TEST_SUITE_P(
    Dialect, JsonParseRefuses,
    ::testing::Values(
        // Empty texts stop at their terminator.
        Refused{"", 0, false}, Refused{"   ", 3, false}, Refused{"\xEF\xBB\xBF", 3, false},
        // Literals.
        Refused{"nul", 0, false}, Refused{"True", 0, false}, Refused{"[fals]", 1, false},
        Refused{"nullx", 4, true}, Refused{"'a'", 0, false},
        // Numbers.
        Refused{"+1", 0, false}, Refused{".5", 0, false}, Refused{"-", 0, true},
        Refused{"[-]", 1, false}, Refused{"08", 1, true}, Refused{"1e", 1, true},
        Refused{"[1.5.3]", 4, false}, Refused{"99999999999999999999", 0, false},
        Refused{"[1e999]", 1, false}, Refused{"-1e999", 0, false},
        Refused{"-99999999999999999999", 0, false},
        // Structure.
        Refused{"[1,]", 3, false}, Refused{"[1 2]", 3, false}, Refused{"[,1]", 1, false},
        Refused{"{\"a\" 1}", 5, false}, Refused{"{\"a\"}", 4, false},
        Refused{"{\"a\":1,}", 7, false}, Refused{"{1:2}", 1, false}, Refused{"{", 1, false},
        Refused{"[", 1, false}, Refused{"[1", 2, false}, Refused{"{\"a\":1", 6, false},
        Refused{"{\"a\":1,", 7, false}, Refused{"{\"a\":1, ", 8, false},
        Refused{"{\"a\":", 5, false}, Refused{"{\"a\"", 4, false}, Refused{"[1,", 3, false},
        Refused{"[1] x", 4, true}, Refused{"[1]]", 3, true}, Refused{"{}{}", 2, true},
        Refused{"[}", 1, false}, Refused{"{]", 1, false},
        // Strings.
        Refused{"\"abc", 4, false}, Refused{"\"abc\\", 5, false}, Refused{"[\"a\\\"]", 6, false},
        Refused{"\"\\ud83d\"", 1, false}, Refused{"\"\\ude00\"", 1, false},
        Refused{"\"\\ud83d\\u0041\"", 1, false}, Refused{"\"a\\u12\"", 2, false},
        Refused{"\"\\u12G4\"", 1, false}, Refused{"\"ab\\x\"", 3, true},
        Refused{"[\"\\U0041\"]", 2, true}, Refused{"{\"k\\q\":1}", 3, true},
        // Limits.
        Refused{KeyOfLength(48), 1, false},
        Refused{"{\"" + Repeat("\\u0041", 43) + "\":0}", 1, false},
        Refused{"[" + KeyOfLength(48) + "]", 2, false},
        Refused{Nested("[", "]", JSON_MAX_DEPTH + 1), JSON_MAX_DEPTH, false},
        Refused{Repeat("{\"a\":", JSON_MAX_DEPTH) + "{}" + Repeat("}", JSON_MAX_DEPTH),
                5 * JSON_MAX_DEPTH, false}));

TEST_F(JsonTest, ParseFailsAtOnceOnBadArguments) {
  JsonValue* root;
  ASSERT_EQ(JsonParse("[1,]", &root), JSON_FAIL);
  const char* errorBefore = JsonGetErrorPointer();
  JsonValue sentinel{};
  root = &sentinel;
  EXPECT_EQ(JsonParse(nullptr, &root), JSON_FAIL);
  EXPECT_EQ(JsonParse("1", nullptr), JSON_FAIL);
  EXPECT_EQ(root, &sentinel);
  EXPECT_EQ(JsonGetErrorPointer(), errorBefore);
  EXPECT_EQ(Allocations().calls, 1u) << "only the first parse allocates";
}

TEST_F(JsonTest, ParseRefusesTextAboveLengthLimit) {
  std::string text(JSON_MAX_TEXT_LENGTH + 1, ' ');
  JsonValue* root = nullptr;
  EXPECT_EQ(JsonParse(text.c_str(), &root), JSON_FAIL);
  EXPECT_EQ(Allocations().calls, 0u);
}

TEST_F(JsonTest, ParseKeepsErrno) {
  for (const char* text : {"1e999", "[1.5]", "99999999999999999999", "7"}) {
    errno = EINTR;
    Doc doc = Parse(text);
    EXPECT_EQ(errno, EINTR) << text;
  }
}

TEST_F(JsonTest, DecodesEscapedNulAndKeepsBytesAfterIt) {
  Doc doc = Parse("[\"a\\u0000b\"]");
  ASSERT_NE(doc, nullptr);
  const char* text;
  ASSERT_EQ(JsonGetArrayString(doc.get(), 0, &text), JSON_OK);
  EXPECT_EQ(std::string(text, 4), std::string("a\0b\0", 4));
}

// ---- Arena layout ----

// Follows the nodes of `value` in document order, checking that each starts
// where the previous node, key and text ended. Returns the end of the last.
const uint8_t* CheckPacked(const JsonValue* value, const uint8_t* expected) {
  const auto* at = reinterpret_cast<const uint8_t*>(value);
  EXPECT_EQ(at, expected) << "node of kind " << int(JsonGetKind(value)) << " not packed";
  const uint8_t* end = at + JsonNodeSize(JsonGetKind(value));
  const char* key;
  if (JsonGetKey(value, &key) == JSON_OK) {
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(key), end + sizeof(uint32_t));
    end += sizeof(uint32_t) + std::strlen(key) + 1;
  }
  const char* text = JsonGetStringValue(value);
  if (text != nullptr) {
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(text), end);
    end += std::strlen(text) + 1;
  }
  EXPECT_NE(value->tag & JSON_FLAG_ARENA, 0);
  uint8_t kind = JsonGetKind(value);
  if (kind == JSON_ARRAY || kind == JSON_OBJECT) {
    const JsonValue* child = kind == JSON_ARRAY ? value->array.first : value->object.first;
    for (; child != nullptr; child = child->next) end = CheckPacked(child, end);
  }
  return end;
}

// A random document of every kind, escapes included (no \u0000, so that
// strlen gives every text's size).
std::string RandomValue(std::mt19937& rng, int depth) {
  static const char* const kScalars[] = {"null",
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
  int pick = static_cast<int>(rng() % (depth > 4 ? 13 : 16));
  if (pick < 13) return kScalars[pick];
  bool isObject = pick == 15;
  std::string out = isObject ? "{" : "[";
  int count = static_cast<int>(rng() % 6);
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += " ,\n";
    if (isObject) out += "\"k" + std::to_string(rng() % 3) + (i % 2 ? "\\t" : "") + "\" : ";
    out += RandomValue(rng, depth + 1);
  }
  return out + (isObject ? "}" : "]");
}

TEST_F(JsonTest, BuildFillsArenaExactly) {
  std::mt19937 rng(7);
  std::vector<std::string> texts = {"0", "\"\"", "[]", "{}", "{\"a\":[{\"b\":\"c\"}]}"};
  for (int i = 0; i < 400; ++i) texts.push_back(RandomValue(rng, 0));
  texts.push_back("[" + Repeat(RandomValue(rng, 0) + ",", 2000) + "0]");  // allocated tape
  for (const std::string& text : texts) {
    Doc doc = Parse(text);
    ASSERT_NE(doc, nullptr) << text;
    ASSERT_EQ(Allocations().live.size(), 1u) << "only the arena outlives the parse";
    const AllocationLog::Block& arena = Allocations().live.back();
    ASSERT_EQ(arena.ptr, doc.get());
    const uint8_t* end = CheckPacked(doc.get(), static_cast<const uint8_t*>(arena.ptr));
    EXPECT_EQ(end, static_cast<const uint8_t*>(arena.ptr) + arena.size) << text;
  }
}

// ---- Allocation failures ----

TEST_F(JsonTest, EveryFailedAllocationLeavesNothing) {
  const std::string texts[] = {
      "[1,2]", "[\"" + std::string(5000, 'x') + "\"]",  // allocated tape
      "[" + Repeat("1,", 4000) + "1]",                  // the tape grows several times
  };
  for (const std::string& text : texts) {
    for (uint32_t failAt = 1;; ++failAt) {
      Allocations() = AllocationLog{};
      Allocations().failAt = failAt;
      JsonValue sentinel{};
      JsonValue* root = &sentinel;
      int rc = JsonParse(text.c_str(), &root);
      if (rc == JSON_OK) {
        EXPECT_GE(failAt, 3u) << "state and arena at least";
        JsonDelete(root);
        EXPECT_TRUE(Allocations().live.empty());
        break;
      }
      EXPECT_EQ(root, &sentinel) << "failure at allocation " << failAt;
      EXPECT_TRUE(Allocations().live.empty()) << "failure at allocation " << failAt;
      ASSERT_LT(failAt, 20u);
    }
  }
  Allocations().failAt = 0;
}

TEST_F(JsonTest, DeleteReleasesOnlyWholeDocuments) {
  Doc doc = Parse("{\"a\":[1,\"x\",{\"b\":[]}],\"c\":null}");
  ASSERT_NE(doc, nullptr);
  JsonValue* a;
  ASSERT_EQ(JsonGetObjectItem(doc.get(), "a", &a), JSON_OK);
  JsonDelete(a);
  JsonDelete(nullptr);
  EXPECT_EQ(Allocations().live.size(), 1u);
  EXPECT_EQ(Dump(doc.get()), "{\"a\":[1,\"x\",{\"b\":[]}],\"c\":null}");
  doc.reset();
  EXPECT_TRUE(Allocations().live.empty());
}

// ---- Hooks and the key hash ----

TEST_F(JsonTest, InitHooksRefusesIncompleteHooks) {
  JsonHooks noFree{[](uint32_t) -> void* { return nullptr; }, nullptr};
  JsonHooks noAlloc{nullptr, [](void*) {}};
  EXPECT_EQ(JsonInitHooks(nullptr), JSON_FAIL);
  EXPECT_EQ(JsonInitHooks(&noFree), JSON_FAIL);
  EXPECT_EQ(JsonInitHooks(&noAlloc), JSON_FAIL);
  Doc doc = Parse("[]");
  EXPECT_NE(doc, nullptr);
  EXPECT_EQ(Allocations().calls, 2u) << "the recording hooks still serve";
}

TEST_F(JsonTest, FreeIgnoresNull) {
  JsonFree(nullptr);
  EXPECT_TRUE(Allocations().live.empty());
}

TEST(JsonKeyHash, MatchesKnownValues) {
  EXPECT_EQ(JsonKeyHash("abc", 3), 0x5F1203A4u);
  EXPECT_EQ(JsonKeyHash("", 0), 0u);
  // Only the first `length` bytes count.
  EXPECT_EQ(JsonKeyHash("abcdefghijklmnoXYZ", 15), JsonKeyHash("abcdefghijklmno", 15));
  EXPECT_NE(JsonKeyHash("abcdefghijklmno", 15), JsonKeyHash("abcdefghijklmnp", 15));
}

}  // namespace
}  // namespace json_test
