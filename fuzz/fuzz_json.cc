// Parses arbitrary bytes with the JSON reader. On success walks the whole
// tree through the access functions, checks that the nodes fill the arena
// exactly in document order, unlinks a few nodes and deletes the tree; on
// failure checks the error position.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "json/json.h"

namespace {

struct Block {
  const uint8_t* ptr = nullptr;
  uint32_t size = 0;
};
Block g_lastAllocation;  // the arena, after a successful parse

void* RecordingAlloc(uint32_t size) {
  void* ptr = std::malloc(size);
  g_lastAllocation = {static_cast<const uint8_t*>(ptr), size};
  return ptr;
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Follows the tree in document order: every node must start where the
// previous node, key and text ended (`exact`), or at least not before (texts
// with an escaped NUL are longer than their strlen). Returns the end.
const uint8_t* Walk(JsonValue* value, const uint8_t* expected, bool exact);

const uint8_t* WalkObject(JsonValue* object, const uint8_t* end, bool exact) {
  JsonValue* member = nullptr;
  int rc = JsonGetFirstChild(object, &member);
  if (rc == JSON_NO_MEMBER) return end;
  while (rc == JSON_OK) {
    const char* key = nullptr;
    Check(JsonGetKey(member, &key) == JSON_OK);
    JsonValue* found = nullptr;
    const char* foundKey = nullptr;
    Check(JsonGetObjectItem(object, key, &found) == JSON_OK);
    Check(JsonGetKey(found, &foundKey) == JSON_OK && std::strcmp(foundKey, key) == 0);
    end = Walk(member, end, exact);
    rc = JsonGetNext(member, &member);
  }
  Check(rc == JSON_NO_NEXT);
  return end;
}

const uint8_t* WalkArray(JsonValue* array, const uint8_t* end, bool exact) {
  uint32_t size = JsonGetArraySize(array);
  for (uint32_t i = 0; i < size; ++i) {
    JsonValue* element = nullptr;
    Check(JsonGetArrayItem(array, i, &element) == JSON_OK);
    const char* key;
    Check(JsonGetKey(element, &key) == JSON_FAIL);
    end = Walk(element, end, exact);
  }
  // Backwards too, through the position cache.
  for (uint32_t i = size; i-- > 0;) {
    JsonValue* element = nullptr;
    Check(JsonGetArrayItem(array, i, &element) == JSON_OK && element != nullptr);
  }
  JsonValue* past = array;
  Check(JsonGetArrayItem(array, size, &past) == JSON_FAIL && past == nullptr);
  return end;
}

const uint8_t* Walk(JsonValue* value, const uint8_t* expected, bool exact) {
  const auto* at = reinterpret_cast<const uint8_t*>(value);
  Check(exact ? at == expected : at >= expected);
  const uint8_t* end = at + JsonNodeSize(JsonGetKind(value));
  const char* key;
  if (JsonGetKey(value, &key) == JSON_OK) end += sizeof(uint32_t) + std::strlen(key) + 1;
  int64_t integer;
  double real;
  uint8_t boolean;
  switch (JsonGetKind(value)) {
    case JSON_NULL:
      Check(JsonGetBool(value, &boolean) == JSON_FAIL);
      return end;
    case JSON_TRUE:
    case JSON_FALSE:
      Check(JsonGetBool(value, &boolean) == JSON_OK);
      return end;
    case JSON_NUMBER:
      Check((JsonGetInt(value, &integer) == JSON_OK) != (JsonGetDouble(value, &real) == JSON_OK));
      return end;
    case JSON_STRING:
      Check(reinterpret_cast<const uint8_t*>(JsonGetStringValue(value)) == end || !exact);
      return reinterpret_cast<const uint8_t*>(JsonGetStringValue(value)) +
             std::strlen(JsonGetStringValue(value)) + 1;
    case JSON_OBJECT:
      return WalkObject(value, end, exact);
    case JSON_ARRAY:
      return WalkArray(value, end, exact);
    default:
      Check(false);
      return end;
  }
}

// Unlinks the middle element or the first member of the root and checks
// what remains.
void Unlink(JsonValue* root) {
  uint32_t size = JsonGetArraySize(root);
  if (size != 0) {
    Check(JsonDeleteArrayItem(root, size / 2) == JSON_OK);
    Check(JsonGetArraySize(root) == size - 1);
    return;
  }
  JsonValue* first = nullptr;
  const char* key = nullptr;
  if (JsonGetFirstChild(root, &first) != JSON_OK || JsonGetKey(first, &key) != JSON_OK) return;
  Check(JsonDetachObjectItem(root, key) == first);
  JsonValue* next = nullptr;
  if (JsonGetObjectItem(root, key, &next) == JSON_OK) Check(next != first);
  JsonDelete(first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const JsonHooks hooks{RecordingAlloc, std::free};
  JsonInitHooks(&hooks);
  // An exact-size copy, so that any read past the terminator is caught.
  auto* text = static_cast<char*>(std::malloc(size + 1));
  std::memcpy(text, data, size);
  text[size] = '\0';
  JsonValue* root = nullptr;
  if (JsonParse(text, &root) == JSON_OK) {
    Block arena = g_lastAllocation;
    Check(arena.ptr == reinterpret_cast<const uint8_t*>(root));
    bool exact = std::strstr(text, "\\u0000") == nullptr;
    const uint8_t* end = Walk(root, arena.ptr, exact);
    Check(exact ? end == arena.ptr + arena.size : end <= arena.ptr + arena.size);
    Unlink(root);
    JsonDelete(root);
  } else {
    const char* stop = JsonGetErrorPointer();
    Check(stop != nullptr && stop >= text && stop <= text + std::strlen(text));
    Check(JsonGetErrorPosition() == static_cast<uint32_t>(stop - text) + 1);
  }
  std::free(text);
  return 0;
}
