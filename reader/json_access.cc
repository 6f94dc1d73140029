#include "reader/json_access.h"

#include "base/diagnostic.h"
#include "reader/diagnostic_codes.h"

const char* MemberKey(const JsonValue* member) {
  const char* key = nullptr;
  return JsonGetKey(member, &key) == JSON_OK ? key : "";
}

JsonValue* FirstElement(const JsonValue* array) {
  JsonValue* first = nullptr;
  return JsonGetFirstElement(array, &first) == JSON_OK ? first : nullptr;
}

JsonValue* ArrayItem(JsonValue* array, uint32_t index) {
  JsonValue* item = nullptr;
  return JsonGetArrayItem(array, index, &item) == JSON_OK ? item : nullptr;
}

const char* KindName(const JsonValue* value) {
  static constexpr const char* NAMES[] = {"null",     "true",     "false",    "a number",
                                          "a string", "an array", "an object"};
  return NAMES[JsonGetKind(value)];
}

int RequireArray(ReadContext& context, const JsonValue* value, const char* key) {
  if (JsonGetKind(value) == JSON_ARRAY) return 0;
  return context.Error(
      value, {code::NOT_AN_ARRAY, Format("\"%s\" must be an array, not %s", key, KindName(value)),
              Format("[JsonParser][The value is not an array][key=%s]\n", key)});
}

int NotAString(ReadContext& context, const JsonValue* value, std::string logLine) {
  return context.Error(value,
                       {code::NOT_A_STRING, Format("expected a string, found %s", KindName(value)),
                        std::move(logLine)});
}

int IncompleteEntry(ReadContext& context, JsonValue* entry, std::span<JsonValue* const> members,
                    AllowedKeys keys, size_t arrayAt, std::string logLine) {
  for (size_t i = 0; i < members.size(); ++i) {
    const uint8_t kind = i == arrayAt ? JSON_ARRAY : JSON_STRING;
    if (members[i] != nullptr && JsonGetKind(members[i]) == kind) continue;
    const std::string key(keys[i].text);
    if (members[i] == nullptr) {
      return context.Error(
          entry, {code::MISSING_MEMBER, Format("missing \"%s\"", key.c_str()), std::move(logLine)});
    }
    const ReadContext::Step at(context, MemberKey(members[i]));
    return context.Error(
        members[i], {kind == JSON_ARRAY ? code::NOT_AN_ARRAY : code::NOT_A_STRING,
                     Format("expected %s, found %s", kind == JSON_ARRAY ? "an array" : "a string",
                            KindName(members[i])),
                     std::move(logLine)});
  }
  return -1;
}
