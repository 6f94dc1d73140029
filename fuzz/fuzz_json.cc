// Parses arbitrary bytes with the JSON reader. On success walks the whole
// tree through the access functions and checks that the nodes fill the
// arena exactly in document order, that JsonPlaces finds each value where
// it stands in the text, and that the text parsed deferred, in small
// windows, reads the same as the reader walks it; on failure checks the
// error position, and that the deferred parse fails too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "json/json.h"
#include "json/json_places.h"

namespace {

const uint8_t* g_arena = nullptr;  // the last block allocated: a parse's arena
uint32_t g_arenaSize = 0;

void* RecordingAlloc(uint32_t size) {
  void* block = std::malloc(size);
  g_arena = static_cast<const uint8_t*>(block);
  g_arenaSize = size;
  return block;
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Follows the tree in document order: every node must start where the
// previous node, key and text ended (`exact`), or at least not before (texts
// with an escaped NUL are longer than their strlen). Returns the end.
const uint8_t* Walk(JsonValue* value, const uint8_t* expected, bool exact) {
  const auto* at = reinterpret_cast<const uint8_t*>(value);
  Check(exact ? at == expected : at >= expected);
  const uint8_t* end = at + JsonNodeSize(JsonGetKind(value));
  const char* text = nullptr;
  if (JsonGetKey(value, &text) == JSON_OK) end += sizeof(uint32_t) + std::strlen(text) + 1;
  if (JsonGetString(value, &text) == JSON_OK) {
    Check(reinterpret_cast<const uint8_t*>(text) == end || !exact);
    return reinterpret_cast<const uint8_t*>(text) + std::strlen(text) + 1;
  }
  JsonValue* child = nullptr;
  if (JsonGetKind(value) == JSON_OBJECT) {
    int rc = JsonGetFirstChild(value, &child);
    for (; rc == JSON_OK; rc = JsonGetNext(child, &child)) {
      JsonValue* found = nullptr;
      const char* key = nullptr;
      Check(JsonGetKey(child, &key) == JSON_OK && JsonGetObjectItem(value, key, &found) == JSON_OK);
      end = Walk(child, end, exact);
    }
    Check(rc == JSON_NO_MEMBER || rc == JSON_NO_NEXT);
  }
  const uint32_t size = JsonGetArraySize(value);
  for (uint32_t i = 0; i < size; ++i) {
    Check(JsonGetArrayItem(value, i, &child) == JSON_OK && JsonGetKey(child, &text) == JSON_FAIL);
    end = Walk(child, end, exact);
  }
  // Backwards too, through the position cache.
  for (uint32_t i = size; i-- > 0;) Check(JsonGetArrayItem(value, i, &child) == JSON_OK);
  return end;
}

// The byte each kind of value starts with.
bool StartsAs(uint8_t kind, char c) {
  switch (kind) {
    case JSON_NULL:
      return c == 'n';
    case JSON_TRUE:
      return c == 't';
    case JSON_FALSE:
      return c == 'f';
    case JSON_NUMBER:
      return c == '-' || (c >= '0' && c <= '9');
    case JSON_STRING:
      return c == '"';
    case JSON_ARRAY:
      return c == '[';
    default:
      return c == '{';
  }
}

// Every value's place, in document order after `after`, holds the byte its
// kind starts with, and a member's key place a quote before it. Returns the
// last place.
uint32_t CheckPlaces(const JsonValue* value, const JsonPlaces& places, const char* text,
                     uint32_t after) {
  const uint32_t at = places.ValueOffset(value);
  const char* key = nullptr;
  const bool isMember = JsonGetKey(value, &key) == JSON_OK;
  const uint32_t keyAt = places.KeyOffset(value);
  Check(at > after || (after == 0 && at == 0));
  Check(StartsAs(JsonGetKind(value), text[at]) &&
        (!isMember || (text[keyAt] == '"' && keyAt < at)));
  uint32_t last = at;
  if (JsonGetKind(value) == JSON_OBJECT || JsonGetKind(value) == JSON_ARRAY) {
    const JsonValue* child =
        JsonGetKind(value) == JSON_OBJECT ? value->object.first : value->array.first;
    for (; child != nullptr; child = child->next) last = CheckPlaces(child, places, text, last);
  }
  return last;
}

// The deferred document `deferred` (of root `root`) reads as `whole`,
// walked child after child with each one given back once read, as the
// readers do.
void CheckSame(const JsonValue* whole, JsonValue* deferred, const JsonValue* root) {
  Check(JsonGetKind(whole) == JsonGetKind(deferred));
  const char* a = nullptr;
  const char* b = nullptr;
  if (JsonGetKey(whole, &a) == JSON_OK) {
    Check(JsonGetKey(deferred, &b) == JSON_OK && std::strcmp(a, b) == 0);
  }
  if (JsonGetString(whole, &a) == JSON_OK) {
    Check(JsonGetString(deferred, &b) == JSON_OK && std::strcmp(a, b) == 0);
  }
  if (JsonGetKind(whole) == JSON_NUMBER) {
    Check(((whole->tag ^ deferred->tag) & JSON_FLAG_DOUBLE) == 0 &&
          whole->integer == deferred->integer);
  }
  const bool isObject = JsonGetKind(whole) == JSON_OBJECT;
  if (!isObject && JsonGetKind(whole) != JSON_ARRAY) return;
  JsonValue* expected = nullptr;
  JsonValue* child = nullptr;
  const int first =
      isObject ? JsonGetFirstChild(whole, &expected) : JsonGetFirstElement(whole, &expected);
  Check((isObject ? JsonGetFirstChild(deferred, &child) : JsonGetFirstElement(deferred, &child)) ==
        first);
  for (; expected != nullptr; expected = JsonNextSibling(expected)) {
    JsonValue* next = JsonNextSibling(child);
    CheckSame(expected, child, root);
    JsonRelease(root, deferred, next);
    child = next;
  }
  Check(child == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const JsonHooks HOOKS{RecordingAlloc, std::free};
  JsonInitHooks(&HOOKS);
  // An exact-size copy, so that any read past the terminator is caught.
  auto* text = static_cast<char*>(std::malloc(size + 1));
  std::memcpy(text, data, size);
  text[size] = '\0';
  JsonValue* root = nullptr;
  // Windows of a few dozen bytes, so that small inputs are deferred too.
  const uint32_t deferBytes = 17 + (size == 0 ? 0 : data[0] % 64);
  JsonValue* deferred = nullptr;
  const int deferredParse =
      JsonParseWithOptions(text, std::strlen(text), &deferred, JSON_PARSE_DEFER, deferBytes);
  if (JsonParse(text, &root) == JSON_OK) {
    Check(deferredParse == JSON_OK);
    CheckSame(root, deferred, deferred);
    JsonDelete(deferred);
    const uint8_t* arena = g_arena;
    Check(arena == reinterpret_cast<const uint8_t*>(root));
    const bool exact = std::strstr(text, "\\u0000") == nullptr;
    const uint8_t* end = Walk(root, arena, exact);
    Check(exact ? end == arena + g_arenaSize : end <= arena + g_arenaSize);
    CheckPlaces(root, JsonPlaces(text, root), text, 0);
    JsonDelete(root);
  } else {
    Check(deferredParse != JSON_OK);
    const char* stop = JsonGetErrorPointer();
    Check(stop != nullptr && stop >= text && stop <= text + std::strlen(text));
    Check(JsonGetErrorPosition() == static_cast<uint32_t>(stop - text) + 1);
    // Every failure says why, and shows a place within the text.
    const JsonError error = JsonGetError();
    Check(error.cause != JsonErrorCause::NONE && error.offset <= std::strlen(text));
  }
  std::free(text);
  return 0;
}
