#include "tests/json/json_test_util.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace json_test {

namespace {

AllocationLog g_log;

void* RecordingAlloc(uint32_t size) {
  g_log.calls++;
  if (g_log.failAt != 0 && g_log.calls == g_log.failAt) return nullptr;
  void* ptr = std::malloc(size);
  g_log.live.push_back({ptr, size});
  return ptr;
}

void RecordingFree(void* ptr) {
  auto it = std::find_if(g_log.live.begin(), g_log.live.end(),
                         [ptr](const AllocationLog::Block& b) { return b.ptr == ptr; });
  ASSERT_NE(it, g_log.live.end()) << "release of a block the hooks did not hand out";
  g_log.live.erase(it);
  std::free(ptr);
}

void* PlainAlloc(uint32_t size) { return size == 0 ? nullptr : std::malloc(size); }
void PlainFree(void* ptr) { std::free(ptr); }

std::string Quote(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x20 || byte > 0x7E || byte == '"' || byte == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", byte);
      out += hex;
    } else {
      out += *p;
    }
  }
  return out + "\"";
}

std::string DumpNumber(const JsonValue* value) {
  int64_t integer;
  double real;
  char buffer[64];
  if (JsonGetInt(value, &integer) == JSON_OK) {
    std::snprintf(buffer, sizeof(buffer), "%" PRId64, integer);
  } else if (JsonGetDouble(value, &real) == JSON_OK) {
    std::snprintf(buffer, sizeof(buffer), "d%.17g", real);
  } else {
    return "?number";
  }
  return buffer;
}

std::string DumpObject(JsonValue* object) {
  std::string out = "{";
  JsonValue* member;
  int rc = JsonGetFirstChild(object, &member);
  while (rc == JSON_OK) {
    const char* key = nullptr;
    EXPECT_EQ(JsonGetKey(member, &key), JSON_OK);
    if (out.size() > 1) out += ",";
    out += Quote(key) + ":" + Dump(member);
    rc = JsonGetNext(member, &member);
  }
  EXPECT_NE(rc, JSON_FAIL);
  return out + "}";
}

std::string DumpArray(JsonValue* array) {
  std::string out = "[";
  uint32_t size = JsonGetArraySize(array);
  for (uint32_t i = 0; i < size; ++i) {
    JsonValue* element = nullptr;
    EXPECT_EQ(JsonGetArrayItem(array, i, &element), JSON_OK);
    const char* key;
    EXPECT_EQ(JsonGetKey(element, &key), JSON_FAIL) << "an element carries a key";
    out += (i == 0 ? "" : ",") + Dump(element);
  }
  return out + "]";
}

}  // namespace

ExactText::ExactText(const std::string& text) : bytes_(new char[text.size() + 1]) {
  std::memcpy(bytes_.get(), text.c_str(), text.size() + 1);
}

Doc Parse(const std::string& text) {
  ExactText exact(text);
  JsonValue* root = nullptr;
  if (JsonParse(exact.get(), &root) != JSON_OK) return nullptr;
  return Doc(root);
}

std::string Dump(JsonValue* value) {
  if (value == nullptr) return "<none>";
  switch (JsonGetKind(value)) {
    case JSON_NULL:
      return "null";
    case JSON_TRUE:
      return "true";
    case JSON_FALSE:
      return "false";
    case JSON_NUMBER:
      return DumpNumber(value);
    case JSON_STRING:
      return Quote(JsonGetStringValue(value));
    case JSON_ARRAY:
      return DumpArray(value);
    case JSON_OBJECT:
      return DumpObject(value);
    default:
      return "?kind";
  }
}

AllocationLog& Allocations() { return g_log; }

void JsonTest::SetUp() {
  g_log = AllocationLog{};
  JsonHooks hooks{RecordingAlloc, RecordingFree};
  ASSERT_EQ(JsonInitHooks(&hooks), JSON_OK);
}

void JsonTest::TearDown() {
  EXPECT_TRUE(g_log.live.empty()) << g_log.live.size() << " blocks still allocated";
  JsonHooks hooks{PlainAlloc, PlainFree};
  JsonInitHooks(&hooks);
  JsonValue* root;
  JsonParse("0", &root);  // clears the error position
  JsonDelete(root);
}

}  // namespace json_test
