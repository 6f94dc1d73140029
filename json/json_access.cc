// Reading values out of a parsed tree: typed getters on a value, on an
// object member by key and on an array element by index, and unlinking.
#include <cstring>

#include "bounded/bounded.h"
#include "json/json.h"
#include "json/json_node.h"

using json_node::KindOf;

namespace {

// Below this many elements an indexed access walks from the first element.
constexpr uint32_t MIN_COUNT_FOR_NEAREST_START = 8;

// The first member of `object` whose key equals `key`; hashes are compared
// first so that most members cost no text comparison.
JsonValue* FindMember(const JsonValue* object, const char* key) {
  if (object == nullptr || key == nullptr || KindOf(object) != JSON_OBJECT) return nullptr;
  uint32_t hash = JsonKeyHash(key, static_cast<uint32_t>(std::strlen(key)));
  for (JsonValue* member = object->object.first; member != nullptr; member = member->next) {
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

// Reads the member `key` of `object` with the value getter `get`.
template <typename Out>
int GetMember(const JsonValue* object, const char* key, Out* out,
              int (*get)(const JsonValue*, Out*)) {
  const JsonValue* member = FindMember(object, key);
  return member == nullptr ? JSON_FAIL : get(member, out);
}

// Reads element `index` of `array` with the value getter `get`.
template <typename Out>
int GetElement(JsonValue* array, uint32_t index, Out* out, int (*get)(const JsonValue*, Out*)) {
  JsonValue* element;
  if (out == nullptr || JsonGetArrayItem(array, index, &element) != JSON_OK) return JSON_FAIL;
  return get(element, out);
}

int GetArrayValue(const JsonValue* value, JsonValue** out) {
  if (value == nullptr || out == nullptr || KindOf(value) != JSON_ARRAY) return JSON_FAIL;
  *out = const_cast<JsonValue*>(value);
  return JSON_OK;
}

}  // namespace

int JsonGetInt(const JsonValue* value, int64_t* out) {
  if (value == nullptr || out == nullptr || KindOf(value) != JSON_NUMBER) return JSON_FAIL;
  if ((value->tag & JSON_FLAG_DOUBLE) != 0) return JSON_OTHER_FORM;
  *out = value->integer;
  return JSON_OK;
}

int JsonGetDouble(const JsonValue* value, double* out) {
  if (value == nullptr || out == nullptr || KindOf(value) != JSON_NUMBER) return JSON_FAIL;
  if ((value->tag & JSON_FLAG_DOUBLE) == 0) return JSON_OTHER_FORM;
  *out = value->real;
  return JSON_OK;
}

int JsonGetBool(const JsonValue* value, uint8_t* out) {
  if (value == nullptr || out == nullptr) return JSON_FAIL;
  switch (KindOf(value)) {
    case JSON_TRUE:
      *out = 1;
      return JSON_OK;
    case JSON_FALSE:
      *out = 0;
      return JSON_OK;
    default:
      return JSON_FAIL;
  }
}

int JsonGetString(const JsonValue* value, const char** out) {
  if (value == nullptr || out == nullptr || KindOf(value) != JSON_STRING) return JSON_FAIL;
  *out = value->text;
  return JSON_OK;
}

const char* JsonGetStringValue(const JsonValue* value) {
  const char* text = nullptr;
  return JsonGetString(value, &text) == JSON_OK ? text : nullptr;
}

int JsonGetKey(const JsonValue* value, const char** out) {
  if (value == nullptr || out == nullptr || (value->tag & JSON_FLAG_KEY) == 0) return JSON_FAIL;
  *out = json_node::KeyTextOf(value);
  return JSON_OK;
}

int JsonGetNext(const JsonValue* value, JsonValue** out) {
  if (value == nullptr || out == nullptr) return JSON_FAIL;
  if (value->next == nullptr) return JSON_NO_NEXT;
  *out = value->next;
  return JSON_OK;
}

int JsonGetFirstChild(const JsonValue* object, JsonValue** out) {
  if (object == nullptr || out == nullptr || KindOf(object) != JSON_OBJECT) return JSON_FAIL;
  if (object->object.first == nullptr) return JSON_NO_MEMBER;
  *out = object->object.first;
  return JSON_OK;
}

int JsonGetObjectItem(const JsonValue* object, const char* key, JsonValue** out) {
  if (out == nullptr) return JSON_FAIL;
  JsonValue* member = FindMember(object, key);
  if (member == nullptr) return JSON_FAIL;
  *out = member;
  return JSON_OK;
}

int JsonGetObjectString(const JsonValue* object, const char* key, const char** out) {
  return GetMember(object, key, out, JsonGetString);
}

int JsonGetObjectInt(const JsonValue* object, const char* key, int64_t* out) {
  return GetMember(object, key, out, JsonGetInt);
}

int JsonGetObjectDouble(const JsonValue* object, const char* key, double* out) {
  return GetMember(object, key, out, JsonGetDouble);
}

int JsonGetObjectBool(const JsonValue* object, const char* key, uint8_t* out) {
  return GetMember(object, key, out, JsonGetBool);
}

int JsonGetObjectArray(const JsonValue* object, const char* key, JsonValue** out) {
  return GetMember(object, key, out, GetArrayValue);
}

int JsonCopyObjectString(const JsonValue* object, const char* key, char* buffer,
                         size_t bufferSize) {
  const char* text;
  if (buffer == nullptr || bufferSize == 0 || JsonGetObjectString(object, key, &text) != JSON_OK ||
      bounded::strcpy_s(buffer, bufferSize, text) != 0) {
    return JSON_FAIL;
  }
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
  *out = ElementAt(array, index);
  return JSON_OK;
}

int JsonGetArrayString(JsonValue* array, uint32_t index, const char** out) {
  return GetElement(array, index, out, JsonGetString);
}

int JsonGetArrayInt(JsonValue* array, uint32_t index, int64_t* out) {
  return GetElement(array, index, out, JsonGetInt);
}

int JsonGetArrayDouble(JsonValue* array, uint32_t index, double* out) {
  return GetElement(array, index, out, JsonGetDouble);
}

int JsonGetArrayBool(JsonValue* array, uint32_t index, uint8_t* out) {
  return GetElement(array, index, out, JsonGetBool);
}

JsonValue* JsonDetachObjectItem(JsonValue* object, const char* key) {
  JsonValue* member = FindMember(object, key);
  if (member != nullptr) json_node::UnlinkChild(object, member);
  return member;
}

JsonValue* JsonDetachArrayItem(JsonValue* array, uint32_t index) {
  if (!IsArray(array) || index >= array->array.count) return nullptr;
  JsonValue* element = ElementAt(array, index);
  json_node::UnlinkChild(array, element);
  array->array.count--;
  array->array.cachedIndex = 0;
  array->array.cachedItem = array->array.first;
  return element;
}

int JsonDeleteObjectItem(JsonValue* object, const char* key) {
  JsonValue* member = JsonDetachObjectItem(object, key);
  if (member == nullptr) return JSON_FAIL;
  JsonDelete(member);
  return JSON_OK;
}

int JsonDeleteArrayItem(JsonValue* array, uint32_t index) {
  JsonValue* element = JsonDetachArrayItem(array, index);
  if (element == nullptr) return JSON_FAIL;
  JsonDelete(element);
  return JSON_OK;
}
