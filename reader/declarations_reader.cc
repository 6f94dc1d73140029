#include <string_view>
#include <vector>

#include "base/log.h"
#include "json/json.h"
#include "reader/diagnostic_codes.h"
#include "reader/json_access.h"
#include "reader/section_readers.h"

namespace {

// Records in the file's index, if it keeps one, the use of `name` that
// stands at `offset`.
void NoteUse(ReadContext& context, NameId name, uint32_t offset, NameRole role) {
  if (SourceIndex* index = context.Index()) index->names.push_back({name, offset, role});
}

void NoteUse(ReadContext& context, NameId name, const JsonValue* element, NameRole role) {
  if (context.Index() != nullptr) NoteUse(context, name, context.OffsetOf(element), role);
}

// Adds the strings of the array `value`, the member `key`, to `set`. The names go into the pool as
// one batch: a file's "require" list names a thousand or so names of the whole policy, which the
// pool mostly holds already.
int ReadNameArray(JsonValue* value, ReadContext& context, NameIdSet& set, const char* key,
                  NameRole role) {
  if (RequireArray(context, value, key) != 0) return -1;
  HugePageVector<std::string_view> texts;
  HugePageVector<const JsonValue*> elements;
  const int read = ReadStringElements(
      context, value,
      [key](uint32_t i) {
        // "require" names its elements "require type" in the log.
        const char* logged = std::string_view(key) == "require" ? "require type" : key;
        return Format("[JsonParser][Get the i-th %s failed][i=%u]\n", logged, i);
      },
      [&](const JsonValue* element, const char* text) {
        texts.emplace_back(text);
        elements.push_back(element);
      });
  HugePageVector<NameId> ids(texts.size());
  context.model.names.InternAll(texts, ids);
  for (size_t i = 0; i < ids.size(); ++i) {
    set.Insert(ids[i]);
    NoteUse(context, ids[i], elements[i], role);
  }
  return read;
}

int ReadTypeSection(JsonValue* value, ReadContext& context) {
  return ReadNameArray(value, context, context.model.types, "type", NameRole::TYPE);
}

int ReadAttrSection(JsonValue* value, ReadContext& context) {
  return ReadNameArray(value, context, context.model.attrs, "attr", NameRole::ATTR);
}

int ReadRequireSection(JsonValue* value, ReadContext& context) {
  return ReadNameArray(value, context, context.model.requires_, "require", NameRole::REQUIRE);
}

// One "typeattr" member: the name `key` and the array of its attributes.
int ReadTypeattrMember(ReadContext& context, JsonValue* member, const char* key) {
  PolicyModel& model = context.model;
  if (JsonGetKind(member) != JSON_ARRAY) {
    const std::string shownKey = MaskControlChars(key);
    return context.Error(member, {code::NOT_AN_ARRAY,
                                  Format("the attributes of \"%s\" must be an array, not %s",
                                         shownKey.c_str(), KindName(member)),
                                  Format("[JsonParser][Get the typeattr object failed][key=%s]\n",
                                         shownKey.c_str())});
  }
  const NameId nameId = model.names.Intern(key);
  model.typeAttrMap.names.Insert(nameId);
  if (context.Index() != nullptr) {
    NoteUse(context, nameId, context.KeyOffsetOf(member), NameRole::TYPEATTR_NAME);
  }
  return ReadStringElements(
      context, member,
      [key](uint32_t i) {
        return Format("[JsonParser][Get the i-th attr failed][key=%s, i=%u]\n",
                      MaskControlChars(key).c_str(), i);
      },
      [&](const JsonValue* element, const char* attr) {
        const NameId attrId = model.names.Intern(attr);
        model.typeAttrMap.links.push_back({nameId, attrId});
        if (SourceIndex* index = context.Index()) {
          const uint32_t offset = context.OffsetOf(element);
          index->names.push_back({attrId, offset, NameRole::TYPEATTR_ATTR});
          index->typeAttrs.push_back({nameId, attrId, offset});
        }
      });
}

int ReadTypeattrSection(JsonValue* value, ReadContext& context) {
  JsonValue* member = nullptr;
  const int firstChild = JsonGetFirstChild(value, &member);
  if (firstChild != JSON_OK) {
    constexpr const char* LOG_LINE = "[JsonParser][Get the first typeattr object failed]\n";
    if (firstChild == JSON_NO_MEMBER) {
      return context.Error(value, {code::EMPTY_OBJECT,
                                   "empty \"typeattr\": it needs at least one member", LOG_LINE});
    }
    return context.Error(
        value, {code::NOT_AN_OBJECT,
                Format("\"typeattr\" must be an object, not %s", KindName(value)), LOG_LINE});
  }
  // Each member's own value is read: looking every key up again would be
  // quadratic in the number of members. With a repeated key each member
  // contributes its own array.
  int result = 0;
  for (; member != nullptr; member = NextMember(member)) {
    const char* key = MemberKey(member);
    const ReadContext::Step at(context, key);
    const int read = ReadTypeattrMember(context, member, key);
    context.Release(value, member);
    if (read != 0) {
      result = -1;
      if (!context.KeepGoing()) return -1;
    }
  }
  return result;
}

}  // namespace

int ReadDeclarationsSection(JsonValue* value, ReadContext& context) {
  static constexpr KeyHandler HANDLERS[] = {
      {"type", ReadTypeSection},         {"attr", ReadAttrSection},
      {"require", ReadRequireSection},   {"typeattr", ReadTypeattrSection},
      {"labeling", ReadLabelingSection},
  };
  return ReadKeyedObject(context, value, HANDLERS,
                         "[JsonParser][Validate the declarations section key failed]\n",
                         "[JsonParser][Parse declarations section failed]\n");
}
