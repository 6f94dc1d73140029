// Reading values out of a parsed tree: getters on a value, on an object
// member by key and on an array element by index.
#include <cstring>

#include "json/json.h"
#include "json/json_node.h"

using json_node::KindOf;

namespace {

// Below this many elements an indexed access walks from the first element.
constexpr uint32_t MIN_COUNT_FOR_NEAREST_START = 8;

// `child`, built first when it starts a window of a deferred container's
// children.
JsonValue* Built(JsonValue* child) {
  return child != nullptr && child->tag == JSON_UNBUILT_TAG ? JsonBuildUnbuilt(child) : child;
}

// The first member of `object` whose key equals `key`; hashes are compared
// first so that most members cost no text comparison.
JsonValue* FindMember(const JsonValue* object, const char* key) {
  if (object == nullptr || key == nullptr || KindOf(object) != JSON_OBJECT) return nullptr;
  uint32_t hash = JsonKeyHash(key, static_cast<uint32_t>(std::strlen(key)));
  for (JsonValue* member = Built(object->object.first); member != nullptr;
       member = JsonNextSibling(member)) {
    if (json_node::KeyHashOf(member) == hash &&
        std::strcmp(json_node::KeyTextOf(member), key) == 0) {
      return member;
    }
  }
  return nullptr;
}

JsonValue* WalkForward(JsonValue* from, uint32_t steps) {
  for (; steps != 0; --steps) from = from->next;
  return from;
}

JsonValue* WalkBackward(JsonValue* from, uint32_t steps) {
  for (; steps != 0; --steps) from = from->prev;
  return from;
}

// Element `index` (< count) of `array`, reached from the nearest of the cached
// element, the first and the last; the cache then holds it.
JsonValue* ElementAt(JsonValue* array, uint32_t index) {
  uint32_t count = array->array.count;
  uint32_t cached = array->array.cachedIndex;
  if (index == cached) return array->array.cachedItem;
  JsonValue* element;
  if (count < MIN_COUNT_FOR_NEAREST_START) {
    element = WalkForward(array->array.first, index);
  } else if (index > cached) {
    element = index - cached <= count - index ? WalkForward(array->array.cachedItem, index - cached)
                                              : WalkBackward(array->array.last, count - 1 - index);
  } else {
    element = cached - index <= index ? WalkBackward(array->array.cachedItem, cached - index)
                                      : WalkForward(array->array.first, index);
  }
  array->array.cachedIndex = index;
  array->array.cachedItem = element;
  return element;
}

bool IsArray(const JsonValue* value) { return value != nullptr && KindOf(value) == JSON_ARRAY; }

// Builds the elements of a deferred array not built yet: its last element
// is known only once all are.
void BuildAllElements(JsonValue* array) {
  if (array->array.count == 0 || array->array.last != nullptr) return;
  for (JsonValue* element = Built(array->array.first); element != nullptr;
       element = JsonNextSibling(element)) {
  }
}

}  // namespace

int JsonGetNext(const JsonValue* value, JsonValue** out) {
  if (value == nullptr || out == nullptr) return JSON_FAIL;
  if (value->next == nullptr) return JSON_NO_NEXT;
  *out = JsonNextSibling(value);
  return JSON_OK;
}

int JsonGetFirstChild(const JsonValue* object, JsonValue** out) {
  if (object == nullptr || out == nullptr || KindOf(object) != JSON_OBJECT) return JSON_FAIL;
  if (object->object.first == nullptr) return JSON_NO_MEMBER;
  *out = Built(object->object.first);
  return JSON_OK;
}

int JsonGetFirstElement(const JsonValue* array, JsonValue** out) {
  if (!IsArray(array) || out == nullptr) return JSON_FAIL;
  if (array->array.first == nullptr) return JSON_NO_MEMBER;
  *out = Built(array->array.first);
  return JSON_OK;
}

int JsonGetObjectItem(const JsonValue* object, const char* key, JsonValue** out) {
  if (out == nullptr) return JSON_FAIL;
  JsonValue* member = FindMember(object, key);
  if (member == nullptr) return JSON_FAIL;
  *out = member;
  return JSON_OK;
}

uint32_t JsonGetArraySize(const JsonValue* array) {
  return IsArray(array) ? array->array.count : 0;
}

int JsonGetArrayItem(JsonValue* array, uint32_t index, JsonValue** out) {
  if (!IsArray(array) || out == nullptr) return JSON_FAIL;
  if (index >= array->array.count) {
    *out = nullptr;
    return JSON_FAIL;
  }
  BuildAllElements(array);
  *out = ElementAt(array, index);
  return JSON_OK;
}

int JsonGetArrayString(JsonValue* array, uint32_t index, const char** out) {
  JsonValue* element;
  if (out == nullptr || JsonGetArrayItem(array, index, &element) != JSON_OK) return JSON_FAIL;
  return JsonGetString(element, out);
}
