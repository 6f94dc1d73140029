#include "reader/section_readers.h"

#include <algorithm>
#include <cassert>

#include "base/log.h"
#include "json/json.h"
#include "reader/json_access.h"

int CheckObjectKeys(JsonValue* object, AllowedKeys allowedKeys, std::span<JsonValue*> values) {
  assert(allowedKeys.size() <= MAX_ALLOWED_KEYS);
  assert(values.empty() || values.size() == allowedKeys.size());
  std::fill(values.begin(), values.end(), nullptr);
  JsonValue* member = nullptr;
  if (JsonGetFirstChild(object, &member) != JSON_OK) {
    Log(LOG_ERR, "[JsonParser][Not found the first key]\n");
    return -1;
  }
  uint32_t seen = 0;  // bit i: allowedKeys[i] was met
  for (; member != nullptr; member = NextMember(member)) {
    const std::string_view key = MemberKey(member);
    const auto found = std::find(allowedKeys.begin(), allowedKeys.end(), key);
    if (found == allowedKeys.end()) {
      Log(LOG_ERR, "[JsonParser][Undefined key][key=%s]\n", MaskControlChars(key).c_str());
      return -1;
    }
    const uint32_t bit = 1u << (found - allowedKeys.begin());
    if ((seen & bit) != 0) {
      Log(LOG_ERR, "[JsonParser][Repeat defined key][key=%s]\n", MaskControlChars(key).c_str());
      return -1;
    }
    seen |= bit;
    if (!values.empty()) values[static_cast<size_t>(found - allowedKeys.begin())] = member;
  }
  return 0;
}

int DispatchObjectKeys(JsonValue* object, PolicyModel& model, HandlerTable handlers) {
  JsonValue* member = nullptr;
  if (JsonGetFirstChild(object, &member) != JSON_OK) {
    Log(LOG_ERR, "[JsonParser][Not find the first key]\n");
    return -1;
  }
  for (; member != nullptr; member = NextMember(member)) {
    const std::string_view key = MemberKey(member);
    const auto found = std::find_if(handlers.begin(), handlers.end(),
                                    [key](const KeyHandler& entry) { return entry.key == key; });
    if (found == handlers.end()) {
      Log(LOG_ERR, "[JsonParser][Undefined key][key=%s]\n", MaskControlChars(key).c_str());
      return -1;
    }
    const int result = found->read(member, model);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Parse the value failed][key=%s]\n", MaskControlChars(key).c_str());
      return result;
    }
  }
  return 0;
}

int ReadKeyedSection(JsonValue* value, PolicyModel& model, AllowedKeys allowedKeys,
                     HandlerTable handlers, const char* section) {
  if (CheckObjectKeys(value, allowedKeys) != 0) {
    Log(LOG_ERR, "[JsonParser][Validate the %s section key failed]\n", section);
    return -1;
  }
  const int result = DispatchObjectKeys(value, model, handlers);
  if (result != 0) {
    Log(LOG_ERR, "[JsonParser][Parse %s section failed]\n", section);
    return result;
  }
  return 0;
}
