#include "reader/section_readers.h"

#include <algorithm>
#include <cassert>

#include "base/log.h"
#include "json/json.h"
#include "reader/diagnostic_codes.h"
#include "reader/json_access.h"

namespace {

// The fault of a value that cannot be checked for keys: no object, or an
// object without members.
int NotAnObjectWithMembers(ReadContext& context, JsonValue* value, int firstChild) {
  constexpr const char* LOG_LINE = "[JsonParser][Not found the first key]\n";
  if (firstChild == JSON_NO_MEMBER) {
    return context.Error(
        value, {code::EMPTY_OBJECT, "empty object: it needs at least one member", LOG_LINE});
  }
  return context.Error(value, {code::NOT_AN_OBJECT,
                               Format("expected an object, found %s", KindName(value)), LOG_LINE});
}

// The fault of a key outside `allowedKeys`, with the nearest allowed key.
void ReportUnknownKey(ReadContext& context, JsonValue* member, const char* key,
                      AllowedKeys allowedKeys) {
  const std::string shown = MaskControlChars(key);
  Diagnostic& fault =
      context.Report(member,
                     {code::UNKNOWN_KEY, Format("unknown key \"%s\"", shown.c_str()),
                      Format("[JsonParser][Undefined key][key=%s]\n", shown.c_str())},
                     true);
  std::vector<std::string_view> texts(allowedKeys.size());
  std::transform(allowedKeys.begin(), allowedKeys.end(), texts.begin(),
                 [](const AllowedKey& allowed) { return allowed.text; });
  SuggestNearest(fault, key, texts);
}

void ReportRepeatedKey(ReadContext& context, JsonValue* member, const char* key) {
  const std::string shown = MaskControlChars(key);
  context.Report(member,
                 {code::REPEATED_KEY, Format("key \"%s\" given twice in one object", shown.c_str()),
                  Format("[JsonParser][Repeat defined key][key=%s]\n", shown.c_str())},
                 true);
}

// Whether the NUL-terminated `key` is `allowed`. The comparison stops at
// the key's end, should the key be the shorter: no allowed key holds a NUL.
bool IsKey(const char* key, std::string_view allowed) {
  for (const char c : allowed) {
    if (*key++ != c) return false;
  }
  return *key == '\0';
}

// The position in `allowedKeys` of the key of `member`; allowedKeys.size()
// when it is none of them. Only a key of the same hash is compared byte by
// byte.
size_t AllowedKeyIndex(const JsonValue* member, AllowedKeys allowedKeys) {
  const char* key = nullptr;
  uint32_t hash = 0;
  if (JsonGetHashedKey(member, &key, &hash) != JSON_OK) return allowedKeys.size();
  for (size_t i = 0; i < allowedKeys.size(); ++i) {
    if (allowedKeys[i].hash == hash && IsKey(key, allowedKeys[i].text)) return i;
  }
  return allowedKeys.size();
}

}  // namespace

int CheckObjectKeys(ReadContext& context, JsonValue* object, AllowedKeys allowedKeys,
                    std::span<JsonValue*> values) {
  assert(allowedKeys.size() <= MAX_ALLOWED_KEYS);
  assert(values.empty() || values.size() == allowedKeys.size());
  std::fill(values.begin(), values.end(), nullptr);
  JsonValue* member = nullptr;
  const int firstChild = JsonGetFirstChild(object, &member);
  if (firstChild != JSON_OK) return NotAnObjectWithMembers(context, object, firstChild);
  uint32_t seen = 0;  // bit i: allowedKeys[i] was met
  for (; member != nullptr; member = NextMember(member)) {
    const size_t found = AllowedKeyIndex(member, allowedKeys);
    const uint32_t bit = found < allowedKeys.size() ? 1u << found : 0;
    if (bit == 0 || (seen & bit) != 0) {
      const char* key = MemberKey(member);
      const ReadContext::Step at(context, key);
      if (bit == 0) {
        ReportUnknownKey(context, member, key, allowedKeys);
      } else {
        ReportRepeatedKey(context, member, key);
      }
      if (!context.KeepGoing()) return -1;
      continue;
    }
    seen |= bit;
    if (!values.empty()) values[found] = member;
  }
  return 0;
}

int ReadKeyedObject(ReadContext& context, JsonValue* object, HandlerTable handlers,
                    const std::string& keyCheckFailed, const std::string& readFailed) {
  assert(handlers.size() <= MAX_ALLOWED_KEYS);
  AllowedKey keyStorage[MAX_ALLOWED_KEYS];
  JsonValue* memberStorage[MAX_ALLOWED_KEYS];
  const std::span<AllowedKey> allowedKeys(keyStorage, handlers.size());
  const std::span<JsonValue*> members(memberStorage, handlers.size());
  std::transform(handlers.begin(), handlers.end(), allowedKeys.begin(),
                 [](const KeyHandler& handler) { return handler.key; });
  if (CheckObjectKeys(context, object, allowedKeys, members) != 0) {
    return context.Trace("%s", keyCheckFailed.c_str());
  }
  // In document order; a key the check refused, or met before, has no slot.
  // Each member read is released.
  int result = 0;
  JsonValue* member = nullptr;
  JsonGetFirstChild(object, &member);
  for (JsonValue* next = nullptr; member != nullptr; member = next) {
    next = NextMember(member);
    const auto slot = std::find(members.begin(), members.end(), member);
    if (slot == members.end()) continue;
    const KeyHandler& handler = handlers[static_cast<size_t>(slot - members.begin())];
    const ReadContext::Step at(context, MemberKey(member));
    const int read = handler.read(member, context);
    context.Release(object, next);
    if (read != 0) {
      result = -1;
      if (context.KeepGoing()) continue;
      context.Trace("[JsonParser][Parse the value failed][key=%s]\n",
                    MaskControlChars(handler.key.text).c_str());
      return context.Trace("%s", readFailed.c_str());
    }
  }
  return result;
}

int ReadSourceDocument(ReadContext& context, JsonValue* root) {
  context.SetDocument(root);
  static constexpr KeyHandler HANDLERS[] = {
      {"declarations", ReadDeclarationsSection},
      {"rules", ReadRulesSection},
  };
  const char* file = context.ShownFile().c_str();
  return ReadKeyedObject(
      context, root, HANDLERS,
      Format("[JsonParser][Validate the declarations or rules key failed][file=%s]\n", file),
      Format("[JsonParser][Parse declarations or rules failed][file=%s]\n", file));
}
