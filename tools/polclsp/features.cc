#include "tools/polclsp/features.h"

#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "base/class_table.h"
#include "base/json_string.h"
#include "base/protocol_lookup.h"
#include "json/json.h"
#include "json/json_places.h"
#include "reader/diagnostic_codes.h"
#include "reader/json_access.h"
#include "reader/source_loader.h"
#include "reader/validators.h"
#include "tools/lint/uri.h"
#include "tools/polclsp/cursor_context.h"

namespace {

constexpr size_t MAX_COMPLETIONS = 500;

// ---- Places ----

// The end of the token at `offset`: after a string's closing quote (or at
// the end of its line), after a run of word bytes, or one byte on.
uint32_t TokenEnd(std::string_view text, uint32_t offset) {
  if (offset >= text.size()) return static_cast<uint32_t>(text.size());
  size_t end = offset + 1;
  if (text[offset] == '"') {
    while (end < text.size() && text[end] != '"' && text[end] != '\n') {
      end += text[end] == '\\' ? 2 : 1;
    }
    end = std::min(end + (end < text.size() && text[end] == '"'), text.size());
  } else {
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                 std::strchr("-+._", text[end]) != nullptr)) {
      ++end;
    }
  }
  return static_cast<uint32_t>(end);
}

void AppendRangeOf(JsonOut& out, const Workspace::Source& source, uint32_t start, uint32_t end) {
  out.BeginObject().Key("start");
  AppendPosition(out, source, start);
  out.Key("end");
  AppendPosition(out, source, end);
  out.EndObject();
}

// The range of the text of the string token at `offset`, quotes left out.
void AppendStringContentRange(JsonOut& out, const Workspace::Source& source, uint32_t offset) {
  const uint32_t end = TokenEnd(source.text, offset);
  const bool closed = end > offset + 1 && source.text[end - 1] == '"';
  AppendRangeOf(out, source, offset + 1, closed ? end - 1 : end);
}

void AppendTextEdit(JsonOut& out, const Workspace::Source& source, uint32_t start, uint32_t end,
                    std::string_view newText) {
  out.BeginObject().Key("range");
  AppendRangeOf(out, source, start, end);
  out.Key("newText").String(newText).EndObject();
}

// ---- Names ----

bool IsDeclaration(NameRole role) { return role == NameRole::TYPE || role == NameRole::ATTR; }
bool IsNoDeclaration(NameRole role) { return !IsDeclaration(role); }

// Whether the string at the cursor stands where a type or attribute name
// goes.
bool IsNamePlace(const CursorContext& context) {
  const std::vector<std::string>& path = context.path;
  if (context.where == CursorContext::Where::KEY) return ObjectKind(path) == "typeattr";
  if (context.where != CursorContext::Where::VALUE || path.empty()) return false;
  static const std::set<std::string> NAME_KEYS = {"subject", "object", "target", "context"};
  if (NAME_KEYS.count(path.back()) != 0) return true;
  if (path.back() != "[]" || path.size() < 2) return false;
  const std::string& list = path[path.size() - 2];
  const std::vector<std::string> parent(path.begin(), path.end() - 2);
  return (ObjectKind(parent) == "declarations" &&
          (list == "type" || list == "attr" || list == "require")) ||
         ObjectKind(parent) == "typeattr";
}

// Every use of a name in the policy, by file.
struct Use {
  const std::string* path;
  const Workspace::Source* source;
  NameUse use;
};

std::vector<Use> UsesOf(Workspace& workspace, std::string_view name) {
  std::vector<Use> uses;
  const auto& sources = workspace.Sources();
  const std::optional<NameId> id = workspace.Names().Find(name);
  if (!id) return uses;
  for (const auto& [path, source] : sources) {
    for (const NameUse& use : source.facts.index.names) {
      if (use.name == *id) uses.push_back({&path, &source, use});
    }
  }
  return uses;
}

// The declared name at `offset` of `path`, or empty.
std::string NameAt(Workspace& workspace, const std::string& path, uint32_t offset,
                   uint32_t* start = nullptr) {
  const Workspace::Source* source = workspace.Find(path);
  if (source == nullptr) return "";
  const CursorContext context = ScanCursor(source->text, offset);
  if (!IsNamePlace(context)) return "";
  for (const Use& use : UsesOf(workspace, context.token)) {
    if (IsDeclaration(use.use.role)) {
      if (start != nullptr) *start = context.tokenStart;
      return context.token;
    }
  }
  return "";
}

// Every declared name of the policy, sorted, each once.
std::vector<std::string_view> DeclaredNames(Workspace& workspace) {
  std::vector<NameId> ids;
  for (const auto& [path, source] : workspace.Sources()) {
    for (const NameUse& use : source.facts.index.names) {
      if (IsDeclaration(use.role)) ids.push_back(use.name);
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  std::vector<std::string_view> names;
  for (const NameId id : ids) names.push_back(workspace.Names().Text(id));
  std::sort(names.begin(), names.end());
  return names;
}

// ---- Completion ----

// The keys an object of `kind` allows.
std::vector<std::string_view> AllowedKeys(const std::string& kind) {
  static const std::map<std::string, std::vector<std::string_view>> KEYS = {
      {"root", {"declarations", "rules"}},
      {"declarations", {"type", "attr", "require", "typeattr", "labeling"}},
      {"labeling", {"file", "reserved_sid", "netif", "packet"}},
      {"statement", {"subject", "group", "teac", "type_transition"}},
      {"teac", {"object", "class", "operation"}},
      {"type_transition", {"object", "class", "target"}},
      {"file", {"path", "context"}},
      {"reserved_sid", {"sid", "context"}},
      {"netif", {"name", "context"}},
      {"packet", {"prot", "source", "destination", "sport", "dport", "context"}},
  };
  const auto found = KEYS.find(kind);
  return found == KEYS.end() ? std::vector<std::string_view>() : found->second;
}

std::vector<std::string_view> ClassNames() {
  std::vector<std::string_view> names;
  for (uint16_t index = 1; index <= CLASS_COUNT; ++index) names.emplace_back(GetClassName(index));
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string_view> OperationsOf(std::string_view cls) {
  const uint16_t index = GetClassIndex(std::string(cls).c_str());
  const OperationNameList list =
      OperationNames(index, OperationBits(index), OperationOrder::BY_NAME);
  return {list.begin(), list.end()};
}

std::vector<std::string_view> ProtocolNames() {
  static const std::vector<std::string> NAMES = [] {
    std::set<std::string> names;
    setprotoent(0);
    while (const protoent* entry = getprotoent()) names.insert(entry->p_name);
    endprotoent();
    return std::vector<std::string>(names.begin(), names.end());
  }();
  return {NAMES.begin(), NAMES.end()};
}

// What goes at the cursor, and the kind of item (the protocol's
// CompletionItemKind) each is.
struct Candidates {
  std::vector<std::string_view> words;
  int kind = 0;
  bool asKey = false;  // to be written as a member key
};

Candidates CandidatesAt(Workspace& workspace, const CursorContext& context) {
  constexpr int FIELD = 5;
  constexpr int CLASS = 7;
  constexpr int ENUM_MEMBER = 20;
  constexpr int VALUE = 12;
  const std::vector<std::string>& path = context.path;
  if (context.where == CursorContext::Where::KEY) {
    const std::string kind = ObjectKind(path);
    if (kind == "typeattr") return {DeclaredNames(workspace), CLASS, true};
    std::vector<std::string_view> keys;
    for (const std::string_view key : AllowedKeys(kind)) {
      if (context.keys.count(std::string(key)) == 0) keys.push_back(key);
    }
    return {keys, FIELD, true};
  }
  if (context.where != CursorContext::Where::VALUE || path.empty()) return {};
  if (IsNamePlace(context)) return {DeclaredNames(workspace), CLASS};
  const std::string& key = path.back();
  if (key == "class") return {ClassNames(), ENUM_MEMBER};
  if (key == "sid") return {{INITIAL_SID_NAMES.begin(), INITIAL_SID_NAMES.end()}, ENUM_MEMBER};
  if (key == "prot") return {ProtocolNames(), VALUE};
  if (key == "[]" && path.size() >= 2 && path[path.size() - 2] == "operation") {
    const auto cls = context.siblings.find("class");
    if (cls != context.siblings.end()) return {OperationsOf(cls->second), ENUM_MEMBER};
  }
  return {};
}

}  // namespace

// ---- URIs and places ----

void AppendPosition(JsonOut& out, const Workspace::Source& source, uint32_t offset) {
  const LineColumn place = source.Lines().At(offset, ColumnUnit::UTF16);
  out.BeginObject().Key("line").Int(place.line - 1).Key("character").Int(place.column - 1);
  out.EndObject();
}

uint32_t OffsetAt(const Workspace::Source& source, uint32_t line, uint32_t character) {
  return source.Lines().OffsetOf({line + 1, character + 1}, ColumnUnit::UTF16);
}

void AppendRange(JsonOut& out, const Workspace::Source& source, uint32_t offset) {
  if (offset == NO_OFFSET) offset = 0;
  AppendRangeOf(out, source, offset, TokenEnd(source.text, offset));
}

void AppendLocation(JsonOut& out, const std::string& path, const Workspace::Source& source,
                    uint32_t offset) {
  out.BeginObject().Key("uri").String(UriOfPath(path)).Key("range");
  AppendRange(out, source, offset);
  out.EndObject();
}

// ---- Diagnostics ----

std::string DiagnosticsJson(Workspace& workspace, const std::string& path,
                            const std::vector<const Diagnostic*>& diagnostics) {
  static const Workspace::Source NONE;
  const Workspace::Source* source = workspace.Find(path);
  if (source == nullptr) source = &NONE;
  JsonOut out;
  out.BeginArray();
  for (const Diagnostic* diagnostic : diagnostics) {
    out.BeginObject().Key("range");
    AppendRange(out, *source, diagnostic->place.offset);
    out.Key("severity").Int(diagnostic->severity == Severity::ERROR ? 1 : 2);
    out.Key("code").String(diagnostic->code).Key("source").String("polclint");
    std::string message = diagnostic->message;
    if (!diagnostic->hint.empty()) message += "\n" + diagnostic->hint;
    out.Key("message").String(message);
    if (!diagnostic->related.empty()) {
      out.Key("relatedInformation").BeginArray();
      for (const SourcePlace& related : diagnostic->related) {
        const Workspace::Source* other = workspace.Find(related.file);
        out.BeginObject().Key("location");
        AppendLocation(out, related.file, other != nullptr ? *other : NONE, related.offset);
        out.Key("message").String(diagnostic->relatedNote).EndObject();
      }
      out.EndArray();
    }
    out.EndObject();
  }
  return out.EndArray().Take();
}

// ---- Completion ----

std::string CompletionJson(Workspace& workspace, const std::string& path, uint32_t offset) {
  const Workspace::Source* source = workspace.Find(path);
  JsonOut out;
  if (source == nullptr) return out.Null().Take();
  const CursorContext context = ScanCursor(source->text, offset);
  const Candidates candidates = CandidatesAt(workspace, context);
  size_t count = 0;
  out.BeginObject().Key("isIncomplete");
  JsonOut list;
  list.BeginArray();
  for (const std::string_view word : candidates.words) {
    if (word.substr(0, context.prefix.size()) != context.prefix) continue;
    if (++count > MAX_COMPLETIONS) break;
    list.BeginObject().Key("label").String(word).Key("kind").Int(candidates.kind);
    list.Key("textEdit").BeginObject().Key("range");
    if (context.inString) {
      AppendRangeOf(list, *source, context.tokenStart + 1, offset);
      list.Key("newText").String(word);
    } else {
      AppendRangeOf(list, *source, offset, offset);
      list.Key("newText").String("\"" + std::string(word) + (candidates.asKey ? "\": " : "\""));
    }
    list.EndObject().EndObject();
  }
  out.Bool(count > MAX_COMPLETIONS).Key("items").Raw(list.EndArray().Text());
  return out.EndObject().Take();
}

// ---- Hover ----

namespace {

// The attribute sets of the policy's names: what "typeattr" gives each, and
// itself; and for each name, the names whose sets hold it.
struct Memberships {
  std::map<NameId, std::set<NameId>> attributes;
  std::map<NameId, std::set<NameId>> members;
};

Memberships MembershipsOf(Workspace& workspace) {
  Memberships memberships;
  for (const auto& [path, source] : workspace.Sources()) {
    for (const NameUse& use : source.facts.index.names) {
      if (!IsDeclaration(use.role)) continue;
      memberships.attributes[use.name].insert(use.name);
      memberships.members[use.name].insert(use.name);
    }
  }
  for (const auto& [path, source] : workspace.Sources()) {
    for (const TypeAttrUse& link : source.facts.index.typeAttrs) {
      if (memberships.attributes.count(link.name) == 0) continue;
      memberships.attributes[link.name].insert(link.attr);
      memberships.members[link.attr].insert(link.name);
    }
  }
  return memberships;
}

// How many (name, class) pairs the grants give `name` as subject, and as
// object, once attributes are expanded to their members.
std::pair<size_t, size_t> EffectiveGrants(Workspace& workspace, NameId name,
                                          const Memberships& memberships) {
  const auto setOf = [](const std::map<NameId, std::set<NameId>>& sets, NameId id) {
    static const std::set<NameId> NONE;
    const auto found = sets.find(id);
    return found == sets.end() ? NONE : found->second;
  };
  const std::set<NameId> attributes = setOf(memberships.attributes, name);
  std::set<std::pair<NameId, NameId>> asSubject;
  std::set<std::pair<NameId, NameId>> asObject;
  for (const auto& [path, source] : workspace.Sources()) {
    for (const GrantUse& grant : source.facts.index.grants) {
      if (grant.operations == 0) continue;
      if (attributes.count(grant.key.subject) != 0) {
        for (const NameId object : setOf(memberships.members, grant.key.object)) {
          asSubject.insert({object, grant.key.cls});
        }
      }
      if (attributes.count(grant.key.object) != 0) {
        for (const NameId subject : setOf(memberships.members, grant.key.subject)) {
          asObject.insert({subject, grant.key.cls});
        }
      }
    }
  }
  return {asSubject.size(), asObject.size()};
}

std::string NamesList(Workspace& workspace, const std::set<NameId>& ids, NameId except) {
  std::vector<std::string_view> names;
  for (const NameId id : ids) {
    if (id != except) names.push_back(workspace.Names().Text(id));
  }
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string_view name : names)
    list += (list.empty() ? "`" : ", `") + std::string(name) + "`";
  return list.empty() ? "none" : list;
}

std::string NameHover(Workspace& workspace, std::string_view name) {
  const std::vector<Use> uses = UsesOf(workspace, name);
  const auto declaration = std::find_if(uses.begin(), uses.end(),
                                        [](const Use& use) { return IsDeclaration(use.use.role); });
  if (declaration == uses.end()) return "";
  const NameId id = declaration->use.name;
  const bool isType = declaration->use.role == NameRole::TYPE;
  const Memberships memberships = MembershipsOf(workspace);
  const LineColumn at = declaration->source->Lines().At(declaration->use.offset);
  const auto [asSubject, asObject] = EffectiveGrants(workspace, id, memberships);
  std::string text =
      Format("**%s** `%.*s`\n\ndeclared in %s:%u\n\n", isType ? "type" : "attribute",
             static_cast<int>(name.size()), name.data(), declaration->path->c_str(), at.line);
  text += isType ? "attributes: " + NamesList(workspace, memberships.attributes.at(id), id)
                 : "members: " + NamesList(workspace, memberships.members.at(id), id);
  text += Format("\n\neffective grants: %zu as subject, %zu as object", asSubject, asObject);
  return text;
}

std::string ClassHover(std::string_view cls) {
  const std::vector<std::string_view> operations = OperationsOf(cls);
  if (GetClassIndex(std::string(cls).c_str()) == 0) return "";
  std::string text = "**class** `" + std::string(cls) + "`\n\noperations:";
  for (const std::string_view operation : operations) text += " `" + std::string(operation) + "`";
  return text;
}

std::string OperationHover(const CursorContext& context) {
  const auto cls = context.siblings.find("class");
  if (cls == context.siblings.end()) return "";
  const uint16_t index = GetClassIndex(cls->second.c_str());
  const uint32_t bit = GetOperationBit(index, context.token.c_str());
  if (bit == 0) return "";
  return Format("**operation** `%s` of class `%s`", context.token.c_str(), cls->second.c_str());
}

}  // namespace

std::string HoverJson(Workspace& workspace, const std::string& path, uint32_t offset) {
  const Workspace::Source* source = workspace.Find(path);
  JsonOut out;
  if (source == nullptr) return out.Null().Take();
  const CursorContext context = ScanCursor(source->text, offset);
  std::string text;
  if (IsNamePlace(context)) {
    text = NameHover(workspace, context.token);
  } else if (context.where == CursorContext::Where::VALUE && !context.path.empty()) {
    const std::vector<std::string>& keys = context.path;
    if (keys.back() == "class") text = ClassHover(context.token);
    if (keys.back() == "[]" && keys.size() >= 2 && keys[keys.size() - 2] == "operation") {
      text = OperationHover(context);
    }
  }
  if (text.empty()) return out.Null().Take();
  out.BeginObject().Key("contents").BeginObject().Key("kind").String("markdown");
  out.Key("value").String(text).EndObject().Key("range");
  AppendRange(out, *source, context.tokenStart);
  return out.EndObject().Take();
}

// ---- Navigation ----

namespace {

std::string LocationsJson(const std::vector<Use>& uses, bool (*keep)(NameRole)) {
  JsonOut out;
  out.BeginArray();
  for (const Use& use : uses) {
    if (keep(use.use.role)) AppendLocation(out, *use.path, *use.source, use.use.offset);
  }
  return out.EndArray().Take();
}

}  // namespace

std::string DefinitionJson(Workspace& workspace, const std::string& path, uint32_t offset) {
  const std::string name = NameAt(workspace, path, offset);
  if (name.empty()) return "null";
  return LocationsJson(UsesOf(workspace, name), IsDeclaration);
}

std::string ReferencesJson(Workspace& workspace, const std::string& path, uint32_t offset,
                           bool withDeclarations) {
  const std::string name = NameAt(workspace, path, offset);
  if (name.empty()) return "null";
  return LocationsJson(UsesOf(workspace, name),
                       withDeclarations ? +[](NameRole) { return true; } : IsNoDeclaration);
}

namespace {

// A SymbolInformation: `name` of the protocol's `kind` at `offset` of
// `path`, in `container`.
void AppendSymbol(JsonOut& out, std::string_view name, int kind, const std::string& path,
                  const Workspace::Source& source, uint32_t offset, std::string_view container) {
  out.BeginObject().Key("name").String(name).Key("kind").Int(kind).Key("location");
  AppendLocation(out, path, source, offset);
  out.Key("containerName").String(container).EndObject();
}

// The symbols of one source: its declarations and its rule statements.
void AppendSymbolsOf(JsonOut& out, Workspace& workspace, const std::string& path,
                     const Workspace::Source& source, std::string_view query) {
  constexpr int CLASS = 5;
  constexpr int INTERFACE = 11;
  constexpr int FUNCTION = 12;
  for (const NameUse& use : source.facts.index.names) {
    const std::string_view name = workspace.Names().Text(use.name);
    if (!query.empty() && name.find(query) == std::string_view::npos) continue;
    if (IsDeclaration(use.role)) {
      AppendSymbol(out, name, use.role == NameRole::TYPE ? CLASS : INTERFACE, path, source,
                   use.offset, "declarations");
    } else if (query.empty() &&
               (use.role == NameRole::SUBJECT || use.role == NameRole::LONE_SUBJECT)) {
      AppendSymbol(out, name, FUNCTION, path, source, use.offset, "rules");
    }
  }
}

}  // namespace

std::string DocumentSymbolJson(Workspace& workspace, const std::string& path) {
  const Workspace::Source* source = workspace.Find(path);
  JsonOut out;
  if (source == nullptr) return out.Null().Take();
  out.BeginArray();
  AppendSymbolsOf(out, workspace, path, *source, "");
  return out.EndArray().Take();
}

std::string WorkspaceSymbolJson(Workspace& workspace, std::string_view query) {
  JsonOut out;
  out.BeginArray();
  for (const auto& [path, source] : workspace.Sources()) {
    AppendSymbolsOf(out, workspace, path, source, query.empty() ? std::string_view("") : query);
  }
  return out.EndArray().Take();
}

// ---- Rename ----

std::string PrepareRenameJson(Workspace& workspace, const std::string& path, uint32_t offset) {
  uint32_t start = 0;
  const std::string name = NameAt(workspace, path, offset, &start);
  if (name.empty()) return "null";
  JsonOut out;
  out.BeginObject().Key("range");
  AppendStringContentRange(out, *workspace.Find(path), start);
  return out.Key("placeholder").String(name).EndObject().Take();
}

std::string RenameJson(Workspace& workspace, const std::string& path, uint32_t offset,
                       std::string_view newName, std::string& error) {
  const std::string name = NameAt(workspace, path, offset);
  if (name.empty()) {
    error = "no type or attribute to rename here";
    return "";
  }
  if (const std::optional<Fault> fault = ContextNameFault(newName)) {
    error = fault->message;
    return "";
  }
  if (!UsesOf(workspace, newName).empty()) {
    error = "\"" + std::string(newName) + "\" names something already";
    return "";
  }
  for (const auto& [sourcePath, source] : workspace.Sources()) {
    if (!source.facts.read) {
      error = sourcePath + " is not valid JSON: mend it first";
      return "";
    }
  }
  std::map<std::string, std::vector<const Use*>> byFile;
  const std::vector<Use> uses = UsesOf(workspace, name);
  for (const Use& use : uses) byFile[*use.path].push_back(&use);
  JsonOut out;
  out.BeginObject().Key("changes").BeginObject();
  for (const auto& [file, fileUses] : byFile) {
    out.Key(UriOfPath(file)).BeginArray();
    for (const Use* use : fileUses) {
      const uint32_t end = TokenEnd(use->source->text, use->use.offset);
      AppendTextEdit(out, *use->source, use->use.offset + 1, end - 1, newName);
    }
    out.EndArray();
  }
  return out.EndObject().EndObject().Take();
}

// ---- Code actions ----

namespace {

struct Edit {
  uint32_t start;
  uint32_t end;
  std::string text;
};

// The edit that adds `name` to the array `list` ("type", "attr" or
// "require") of the declarations of `text`, making the array and the
// declarations when they are missing; nothing when the text is no JSON
// object.
std::optional<Edit> AddToDeclarations(const std::string& text, const char* list,
                                      std::string_view name) {
  const LoadedSource parsed = ParseSource(text.c_str(), text.size(), Places::FIND);
  JsonValue* root = parsed.tree.get();
  if (parsed.status != LoadedSource::Status::LOADED || JsonGetKind(root) != JSON_OBJECT) {
    return std::nullopt;
  }
  std::string quoted;
  AppendJsonString(quoted, name);
  // A member put first in `object`, with a comma when others follow.
  const auto putFirst = [&](JsonValue* object, const std::string& member) {
    const uint32_t at = parsed.places.ValueOffset(object) + 1;
    return Edit{at, at, member + (object->object.first != nullptr ? ", " : "")};
  };
  JsonValue* declarations = nullptr;
  if (JsonGetObjectItem(root, "declarations", &declarations) != JSON_OK) {
    return putFirst(root, Format("\"declarations\": {\"%s\": [%s]}", list, quoted.c_str()));
  }
  if (JsonGetKind(declarations) != JSON_OBJECT) return std::nullopt;
  JsonValue* array = nullptr;
  if (JsonGetObjectItem(declarations, list, &array) != JSON_OK) {
    return putFirst(declarations, Format("\"%s\": [%s]", list, quoted.c_str()));
  }
  if (JsonGetKind(array) != JSON_ARRAY) return std::nullopt;
  if (array->array.last == nullptr) {
    const uint32_t at = parsed.places.ValueOffset(array) + 1;
    return Edit{at, at, quoted};
  }
  const uint32_t at = TokenEnd(text, parsed.places.ValueOffset(array->array.last));
  return Edit{at, at, ", " + quoted};
}

void AppendQuickFix(JsonOut& out, const std::string& title, const std::string& path,
                    const Workspace::Source& source, const Edit& edit, bool preferred) {
  out.BeginObject().Key("title").String(title).Key("kind").String("quickfix");
  if (preferred) out.Key("isPreferred").Bool(true);
  out.Key("edit").BeginObject().Key("changes").BeginObject().Key(UriOfPath(path)).BeginArray();
  AppendTextEdit(out, source, edit.start, edit.end, edit.text);
  out.EndArray().EndObject().EndObject().EndObject();
}

// The fixes of one diagnostic.
void AppendFixes(JsonOut& out, Workspace& workspace, const std::string& path,
                 const Workspace::Source& source, const Diagnostic& diagnostic) {
  const uint32_t at = diagnostic.place.offset;
  const uint32_t end = TokenEnd(source.text, at);
  if (!diagnostic.suggestion.empty() && source.text[at] == '"') {
    AppendQuickFix(out, "Change to \"" + diagnostic.suggestion + "\"", path, source,
                   {at + 1, end - 1, diagnostic.suggestion}, true);
  }
  if (diagnostic.code == code::UNDEFINED_NAME) {
    const std::string name = source.text.substr(at + 1, end - at - 2);
    const std::vector<Use> uses = UsesOf(workspace, name);
    const bool declaredElsewhere = std::any_of(
        uses.begin(), uses.end(), [](const Use& use) { return IsDeclaration(use.use.role); });
    const std::pair<const char*, const char*> lists[] = {
        {"require", "List \"%s\" under \"require\""},
        {"type", "Declare \"%s\" as a type"},
        {"attr", "Declare \"%s\" as an attribute"}};
    for (const auto& [list, title] : lists) {
      if ((std::strcmp(list, "require") == 0) != declaredElsewhere) continue;
      if (const std::optional<Edit> edit = AddToDeclarations(source.text, list, name)) {
        AppendQuickFix(out, Format(title, name.c_str()), path, source, *edit, declaredElsewhere);
      }
    }
  }
  if (diagnostic.code == code::REPEATED_OPERATION) {
    // A repeated operation has an element before it, and a comma between.
    const size_t comma = source.text.rfind(',', at);
    if (comma != std::string::npos) {
      AppendQuickFix(out, "Drop the repeated operation", path, source,
                     {static_cast<uint32_t>(comma), end, ""}, true);
    }
  }
}

}  // namespace

std::string CodeActionJson(Workspace& workspace, const std::string& path, uint32_t start,
                           uint32_t end) {
  const std::vector<Diagnostic>& diagnostics = workspace.Diagnostics();
  const Workspace::Source* source = workspace.Find(path);
  JsonOut out;
  out.BeginArray();
  if (source != nullptr) {
    for (const Diagnostic& diagnostic : diagnostics) {
      const uint32_t at = diagnostic.place.offset;
      if (diagnostic.place.file != path || at == NO_OFFSET || at > end ||
          TokenEnd(source->text, at) < start) {
        continue;
      }
      AppendFixes(out, workspace, path, *source, diagnostic);
    }
  }
  return out.EndArray().Take();
}
