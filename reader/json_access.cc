#include "reader/json_access.h"

#include "base/log.h"

const char* MemberKey(const JsonValue* member) {
  const char* key = nullptr;
  return JsonGetKey(member, &key) == JSON_OK ? key : "";
}

JsonValue* NextMember(const JsonValue* member) {
  JsonValue* next = nullptr;
  return JsonGetNext(member, &next) == JSON_OK ? next : nullptr;
}

JsonValue* ArrayItem(JsonValue* array, uint32_t index) {
  JsonValue* item = nullptr;
  return JsonGetArrayItem(array, index, &item) == JSON_OK ? item : nullptr;
}

int RequireArray(const JsonValue* value, const char* key) {
  if (JsonGetKind(value) == JSON_ARRAY) return 0;
  Log(LOG_ERR, "[JsonParser][The value is not an array][key=%s]\n", key);
  return -1;
}
