#include <string_view>
#include <vector>

#include "base/log.h"
#include "json/json.h"
#include "reader/json_access.h"
#include "reader/section_readers.h"

namespace {

// Adds the strings of the array `value`, the member `key`, to `set`; `what`
// names the section in the message about an element that is not a string. The names go into
// the pool as one batch: a file's "require" list names a thousand or so
// names of the whole policy, which the pool mostly holds already.
int ReadNameArray(JsonValue* value, NamePool& names, NameIdSet& set, const char* key,
                  const char* what) {
  if (RequireArray(value, key) != 0) return -1;
  std::vector<std::string_view> texts;
  const auto bad = ForEachArrayString(value, [&](const char* text) { texts.emplace_back(text); });
  std::vector<NameId> ids(texts.size());
  names.InternAll(texts, ids);
  for (const NameId id : ids) set.Insert(id);
  if (bad.has_value()) {
    Log(LOG_ERR, "[JsonParser][Get the i-th %s failed][i=%u]\n", what, *bad);
    return -1;
  }
  return 0;
}

int ReadTypeSection(JsonValue* value, PolicyModel& model) {
  return ReadNameArray(value, model.names, model.types, "type", "type");
}

int ReadAttrSection(JsonValue* value, PolicyModel& model) {
  return ReadNameArray(value, model.names, model.attrs, "attr", "attr");
}

int ReadRequireSection(JsonValue* value, PolicyModel& model) {
  return ReadNameArray(value, model.names, model.requires_, "require", "require type");
}

int ReadTypeattrSection(JsonValue* value, PolicyModel& model) {
  JsonValue* member = nullptr;
  if (JsonGetFirstChild(value, &member) != JSON_OK) {
    Log(LOG_ERR, "[JsonParser][Get the first typeattr object failed]\n");
    return -1;
  }
  // Each member's own value is read: looking every key up again would be
  // quadratic in the number of members. With a repeated key each member
  // contributes its own array.
  for (; member != nullptr; member = NextMember(member)) {
    const char* name = MemberKey(member);
    if (JsonGetKind(member) != JSON_ARRAY) {
      Log(LOG_ERR, "[JsonParser][Get the typeattr object failed][key=%s]\n",
          MaskControlChars(name).c_str());
      return -1;
    }
    const NameId nameId = model.names.Intern(name);
    model.typeAttrMap.names.Insert(nameId);
    if (const auto bad = ForEachArrayString(member, [&](const char* attr) {
          model.typeAttrMap.links.push_back({nameId, model.names.Intern(attr)});
        })) {
      Log(LOG_ERR, "[JsonParser][Get the i-th attr failed][key=%s, i=%u]\n",
          MaskControlChars(name).c_str(), *bad);
      return -1;
    }
  }
  return 0;
}

}  // namespace

int ReadDeclarationsSection(JsonValue* value, PolicyModel& model) {
  static constexpr std::string_view KEYS[] = {"type", "attr", "require", "typeattr", "labeling"};
  static constexpr KeyHandler HANDLERS[] = {
      {"type", ReadTypeSection},         {"attr", ReadAttrSection},
      {"require", ReadRequireSection},   {"typeattr", ReadTypeattrSection},
      {"labeling", ReadLabelingSection},
  };
  return ReadKeyedSection(value, model, KEYS, HANDLERS, "declarations");
}
