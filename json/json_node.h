// Node layout helpers shared by the parser and the access functions: node
// sizes, the key area behind a member node, and a container's list head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/json.h"

namespace json_node {

constexpr uint32_t SCALAR_NODE_SIZE = offsetof(JsonValue, integer);               // 17
constexpr uint32_t VALUE_NODE_SIZE = SCALAR_NODE_SIZE + sizeof(int64_t);          // 25
constexpr uint32_t OBJECT_NODE_SIZE = SCALAR_NODE_SIZE + sizeof(JsonObjectList);  // 33
constexpr uint32_t ARRAY_NODE_SIZE = SCALAR_NODE_SIZE + sizeof(JsonArrayList);    // 49
constexpr uint32_t KEY_HASH_SIZE = sizeof(uint32_t);

static_assert(SCALAR_NODE_SIZE == 17 && VALUE_NODE_SIZE == 25 && OBJECT_NODE_SIZE == 33 &&
              ARRAY_NODE_SIZE == 49 && sizeof(JsonValue) == ARRAY_NODE_SIZE);
static_assert(alignof(JsonValue) == 1, "nodes are packed back to back in the arena");

// By kind, and so by tape tag with its flags masked.
inline uint32_t NodeSize(uint8_t kind) { return JsonNodeSize(kind); }

inline uint8_t KindOf(const JsonValue* value) { return JsonGetKind(value); }

// The key area of a member: its hash, then its text.
inline uint8_t* KeyArea(const JsonValue* member) {
  return reinterpret_cast<uint8_t*>(const_cast<JsonValue*>(member)) + NodeSize(KindOf(member));
}
inline uint32_t KeyHashOf(const JsonValue* member) {
  uint32_t hash;
  std::memcpy(&hash, KeyArea(member), sizeof(hash));
  return hash;
}
inline const char* KeyTextOf(const JsonValue* member) {
  return reinterpret_cast<const char*>(KeyArea(member) + KEY_HASH_SIZE);
}

// The (last, first) pair of a container doubles as its list head: the first
// child's prev holds its address, so that only a root has prev == null. It is
// never read through, only stored.
inline JsonValue* ListHead(JsonValue* container) {
  size_t offset = KindOf(container) == JSON_ARRAY ? offsetof(JsonValue, array.last)
                                                  : offsetof(JsonValue, object);
  return reinterpret_cast<JsonValue*>(reinterpret_cast<uint8_t*>(container) + offset);
}

}  // namespace json_node
