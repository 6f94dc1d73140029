#include "tools/lint/lint.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "base/class_table.h"
#include "base/log.h"
#include "json/json.h"
#include "json/json_places.h"
#include "reader/duplicate_messages.h"
#include "reader/json_parser.h"
#include "reader/source_index.h"
#include "reader/source_loader.h"
#include "reader/validators.h"
#include "tools/lint/lint_warnings.h"

namespace {

bool IsDeclaration(NameRole role) {
  return role == NameRole::TYPE || role == NameRole::ATTR || role == NameRole::REQUIRE;
}

// polc checks a name where it declares, or where it gives a rule or label.
bool IsChecked(NameRole role) { return role != NameRole::LONE_SUBJECT; }

// The names of the class table, or of the operations of one class, for a
// did-you-mean.
std::vector<std::string_view> ClassNames() {
  std::vector<std::string_view> names;
  for (uint16_t index = 1; index <= CLASS_COUNT; ++index) names.emplace_back(GetClassName(index));
  return names;
}

std::vector<std::string_view> OperationNamesOf(uint16_t classIndex) {
  const OperationNameList list = OperationNames(classIndex, OperationBits(classIndex));
  return {list.begin(), list.end()};
}

// One check of a policy: what the linter knows of it, and the checks.
class PolicyCheck : public PolicyFacts {
 public:
  PolicyCheck(const std::vector<std::string>& paths, const std::vector<const SourceFacts*>& sources,
              const PolicyModel& pools, NameForms& forms, std::vector<uint16_t>& classIndexes)
      : PolicyFacts(paths, pools), forms(forms), classIndexes(classIndexes) {
    for (const SourceFacts* source : sources) {
      indexes.push_back(&source->index);
      allRead = allRead && source->read;
      for (const Diagnostic& fault : source->faults) diagnostics.Add(fault);
    }
  }

  std::vector<Diagnostic> Run() {
    IndexDeclarations();
    for (uint32_t file = 0; file < files.size(); ++file) CheckFile(file);
    CheckPolicy();
    Warn(*this);
    return Sorted();
  }

 private:
  // Each declaration of a type or an attribute, first per file.
  void IndexDeclarations() {
    const size_t nameCount = pools.names.size();
    typeDeclarations.resize(nameCount);
    attrDeclarations.resize(nameCount);
    used.resize(nameCount);
    for (uint32_t file = 0; file < files.size(); ++file) {
      for (const NameUse& use : indexes[file]->names) {
        if (!IsDeclaration(use.role)) {
          used[use.name] = true;
          continue;
        }
        if (use.role == NameRole::REQUIRE) continue;
        auto& places = (use.role == NameRole::TYPE ? typeDeclarations : attrDeclarations)[use.name];
        if (places.empty() || places.back().file != file) places.push_back({file, use.offset});
      }
    }
  }

  // The checks polc makes of one file, on every use.
  void CheckFile(uint32_t file) {
    const SourceIndex& index = *indexes[file];
    CheckNames(file, index);
    const NamePool& names = pools.names;
    static const std::vector<std::string_view> CLASSES = ClassNames();
    for (const GrantUse& grant : index.grants) {
      if (ClassIndexOf(grant.key.cls) != 0) continue;
      const std::string_view cls = names.Text(grant.key.cls);
      SuggestNearest(AddAt(file, grant.classOffset, UnknownClassFault(cls, RuleKind::GRANT)), cls,
                     CLASSES);
    }
    for (const OperationUse& unknown : index.unknownOperations) {
      const std::string_view operation = names.Text(unknown.operation);
      SuggestNearest(
          AddAt(file, unknown.offset, UnknownOperationFault(names.Text(unknown.cls), operation)),
          operation, OperationNamesOf(ClassIndexOf(unknown.cls)));
    }
    for (const TransitionUse& transition : index.transitions) {
      if (ClassIndexOf(transition.key.cls) != 0) continue;
      const std::string_view cls = names.Text(transition.key.cls);
      SuggestNearest(
          AddAt(file, transition.classOffset, UnknownClassFault(cls, RuleKind::TRANSITION)), cls,
          CLASSES);
    }
    static const std::vector<std::string_view> SIDS(INITIAL_SID_NAMES.begin(),
                                                    INITIAL_SID_NAMES.end());
    for (const NamedLabelUse& sid : index.sids) {
      if (GetInitialSidNumber(sid.name) != 0) continue;
      SuggestNearest(AddAt(file, sid.offset, UnknownSidFault(sid.name)), sid.name, SIDS);
    }
    for (const auto& [path, offset] : index.paths) {
      if (auto fault = FilePathFault(pools.paths.Text(path)))
        AddAt(file, offset, std::move(*fault));
    }
  }

  // The class index of the text `cls`, looked up once per text: a policy
  // names its classes millions of times.
  uint16_t ClassIndexOf(NameId cls) {
    if (cls >= classIndexes.size()) classIndexes.resize(pools.names.size());
    if (classIndexes[cls] == 0) classIndexes[cls] = GetClassIndex(pools.names.CText(cls)) + 1;
    return classIndexes[cls] - 1;
  }

  // Every name well formed, and every name used declared or required by
  // the file itself.
  void CheckNames(uint32_t file, const SourceIndex& index) {
    const NamePool& names = pools.names;
    declaredIn.resize(names.size());
    for (const NameUse& use : index.names) {
      if (IsDeclaration(use.role)) declaredIn[use.name] = file + 1;
    }
    for (const NameUse& use : index.names) {
      if (!IsChecked(use.role)) continue;
      const std::string_view text = names.Text(use.name);
      if (!forms.IsValid(names, use.name)) {
        AddAt(file, use.offset, *ContextNameFault(text));
      } else if (!IsDeclaration(use.role) && declaredIn[use.name] != file + 1) {
        HintUndefined(AddAt(file, use.offset, UndefinedNameFault(text)), use.name);
      }
    }
  }

  // Where else `name` is declared, or the declared name nearest to it.
  void HintUndefined(Diagnostic& fault, NameId name) {
    for (const auto* declarations : {&typeDeclarations[name], &attrDeclarations[name]}) {
      if (!declarations->empty()) {
        fault.hint = Format("%s declares it: list it under \"require\"",
                            files[declarations->front().file].c_str());
        return;
      }
    }
    if (declaredNames.empty()) {
      for (NameId id = 0; id < typeDeclarations.size(); ++id) {
        if (!typeDeclarations[id].empty() || !attrDeclarations[id].empty()) {
          declaredNames.push_back(pools.names.Text(id));
        }
      }
    }
    SuggestNearest(fault, pools.names.Text(name), declaredNames);
  }

  // The checks polc makes when it merges the files and of the merged
  // policy.
  void CheckPolicy() {
    std::unordered_map<NameId, Declaration> paths;
    std::map<std::string, Declaration> sids;
    std::map<std::string, Declaration> netifs;
    std::map<PacketKey, Declaration> packets;
    std::unordered_map<RuleKey, Declaration, RuleKeyHash> transitions;
    for (uint32_t file = 0; file < files.size(); ++file) {
      const SourceIndex& index = *indexes[file];
      for (const auto& path : index.paths) {
        Repeat(paths, path.first, file, path.second,
               [&] { return DuplicatePath(pools.paths.Text(path.first)); });
      }
      for (const NamedLabelUse& sid : index.sids) {
        Repeat(sids, sid.name, file, sid.offset, [&] { return DuplicateSid(sid.name); });
      }
      for (const NamedLabelUse& netif : index.netifs) {
        Repeat(netifs, netif.name, file, netif.offset, [&] { return DuplicateNetif(netif.name); });
      }
      for (const auto& packet : index.packets) {
        Repeat(packets, packet.first, file, packet.second,
               [&] { return DuplicatePacket(packet.first); });
      }
      for (const TransitionUse& transition : index.transitions) {
        Repeat(transitions, transition.key, file, transition.offset,
               [&] { return DuplicateTransition(pools.names, transition.key); });
      }
    }
    CheckDeclarations();
  }

  // A key met in an earlier file than `file` is a fault here, the earlier
  // place related; one met again in the same file the reader reported.
  template <typename Map, typename Key, typename MakeFault>
  void Repeat(Map& first, const Key& key, uint32_t file, uint32_t offset, MakeFault makeFault) {
    const auto [at, inserted] = first.try_emplace(key, Declaration{file, offset});
    if (inserted || at->second.file == file) return;
    Diagnostic& fault = AddAt(file, offset, makeFault());
    fault.related.push_back(PlaceOf(at->second));
    fault.relatedNote = "given first here";
  }

  void CheckDeclarations() {
    size_t declared = 0;
    for (NameId name = 0; name < typeDeclarations.size(); ++name) {
      const auto& types = typeDeclarations[name];
      const auto& attrs = attrDeclarations[name];
      declared += !types.empty() + !attrs.empty();
      if (types.empty() || attrs.empty()) continue;
      Diagnostic& fault = AddAt(attrs.front().file, attrs.front().offset,
                                TypeAndAttributeFault(pools.names.Text(name)));
      for (const Declaration& type : types) fault.related.push_back(PlaceOf(type));
      for (size_t i = 1; i < attrs.size(); ++i) fault.related.push_back(PlaceOf(attrs[i]));
      fault.relatedNote = "declared here too";
    }
    if (declared > MAX_TYPES_AND_ATTRS) AddToPolicy(TooManyNamesFault());
    // A file that could not be read may declare what the others require.
    if (!allRead) return;
    for (uint32_t file = 0; file < files.size(); ++file) {
      for (const NameUse& use : indexes[file]->names) {
        if (use.role == NameRole::REQUIRE && typeDeclarations[use.name].empty() &&
            attrDeclarations[use.name].empty()) {
          AddAt(file, use.offset, UnresolvedRequireFault(pools.names.Text(use.name)));
        }
      }
    }
  }

  std::vector<Diagnostic> Sorted() {
    std::unordered_map<std::string, size_t> order;
    for (size_t file = files.size(); file-- > 0;) order[files[file]] = file;
    std::vector<Diagnostic>& items = diagnostics.Items();
    const auto rank = [&order](const Diagnostic& d) {
      const auto found = order.find(d.place.file);
      return std::make_pair(found == order.end() ? SIZE_MAX : found->second, d.place.offset);
    };
    std::stable_sort(items.begin(), items.end(),
                     [&](const Diagnostic& a, const Diagnostic& b) { return rank(a) < rank(b); });
    return std::move(items);
  }

  NameForms& forms;                             // the linter's, of the names of the pool
  std::vector<uint16_t>& classIndexes;          // the linter's, by name: GetClassIndex + 1, or 0
  std::vector<uint32_t> declaredIn;             // by name: 1 + the file being checked
  std::vector<std::string_view> declaredNames;  // for a did-you-mean, made when first needed
};

}  // namespace

PolicyFacts::PolicyFacts(const std::vector<std::string>& paths, const PolicyModel& pools)
    : files(paths), pools(pools), diagnostics(true) {}

Diagnostic& PolicyFacts::AddAt(uint32_t file, uint32_t offset, Fault fault, Severity severity) {
  Diagnostic diagnostic;
  diagnostic.severity = severity;
  diagnostic.code = fault.code;
  diagnostic.place = {files[file], offset, ""};
  diagnostic.message = std::move(fault.message);
  diagnostics.Add(std::move(diagnostic));
  return diagnostics.Last();
}

Diagnostic& PolicyFacts::AddToPolicy(Fault fault) {
  Diagnostic diagnostic;
  diagnostic.code = fault.code;
  diagnostic.message = std::move(fault.message);
  diagnostics.Add(std::move(diagnostic));
  return diagnostics.Last();
}

SourcePlace PolicyFacts::PlaceOf(const Declaration& declaration) const {
  return {files[declaration.file], declaration.offset, ""};
}

SourceFacts Linter::Read(const std::string& file, const LoadedSource& source) {
  PolicyModel fileModel;
  fileModel.names = pools.names;
  fileModel.paths = pools.paths;
  Diagnostics faults(true);
  SourceFacts facts;
  facts.read = source.status == LoadedSource::Status::LOADED;
  ReadContext context(fileModel, faults, file, &source.places, &facts.index);
  ReadLoadedSource(context, source);
  facts.faults = std::move(faults.Items());
  return facts;
}

namespace {

// The ids of texts of one pool in another, made when first asked for.
class Renumbering {
 public:
  Renumbering(const NamePool& from, NamePool& into)
      : from(from), into(into), ids(from.size(), NONE) {}
  void operator()(NameId& id) {
    if (ids[id] == NONE) ids[id] = into.Intern(from.Text(id));
    id = ids[id];
  }

 private:
  static constexpr NameId NONE = UINT32_MAX;
  const NamePool& from;
  NamePool& into;
  std::vector<NameId> ids;
};

void Renumber(SourceIndex& index, Renumbering& name, Renumbering& path) {
  const auto key = [&name](RuleKey& rule) {
    name(rule.subject);
    name(rule.object);
    name(rule.cls);
  };
  for (NameUse& use : index.names) name(use.name);
  for (TypeAttrUse& link : index.typeAttrs) {
    name(link.name);
    name(link.attr);
  }
  for (GrantUse& grant : index.grants) key(grant.key);
  for (TransitionUse& transition : index.transitions) {
    key(transition.key);
    name(transition.target);
  }
  for (auto* operations : {&index.unknownOperations, &index.repeatedOperations}) {
    for (OperationUse& operation : *operations) {
      name(operation.operation);
      name(operation.cls);
    }
  }
  for (auto& labeled : index.paths) path(labeled.first);
}

}  // namespace

void Linter::Compact(const std::vector<SourceFacts*>& facts) {
  PolicyModel fresh;
  Renumbering name(pools.names, fresh.names);
  Renumbering path(pools.paths, fresh.paths);
  for (SourceFacts* source : facts) Renumber(source->index, name, path);
  pools = std::move(fresh);
  forms = NameForms();
  classIndexes.clear();
}

std::vector<Diagnostic> Linter::Check(const std::vector<std::string>& files,
                                      const std::vector<const SourceFacts*>& facts) {
  return PolicyCheck(files, facts, pools, forms, classIndexes).Run();
}

std::vector<Diagnostic> LintSources(const std::vector<std::string>& paths) {
  Linter linter;
  std::vector<SourceFacts> facts;
  facts.reserve(paths.size());
  SourceLookahead sources(paths, Places::FIND);
  for (const std::string& path : paths) facts.push_back(linter.Read(path, sources.Next()));
  std::vector<const SourceFacts*> all;
  for (const SourceFacts& source : facts) all.push_back(&source);
  return linter.Check(paths, all);
}

void PlaceKeyPaths(const char* text, const std::vector<Diagnostic*>& diagnostics) {
  // The file may have changed since it was linted: walk it only as JSON.
  JsonValue* root = nullptr;
  if (JsonParse(text, &root) != JSON_OK) return;
  JsonDelete(root);
  std::vector<uint32_t> offsets;
  for (const Diagnostic* diagnostic : diagnostics) {
    if (diagnostic->place.keyPath.empty() && diagnostic->place.offset != NO_OFFSET) {
      offsets.push_back(diagnostic->place.offset);
    }
  }
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  const std::vector<std::string> paths = JsonKeyPathsAt(text, offsets);
  for (Diagnostic* diagnostic : diagnostics) {
    if (!diagnostic->place.keyPath.empty() || diagnostic->place.offset == NO_OFFSET) continue;
    const auto at = std::lower_bound(offsets.begin(), offsets.end(), diagnostic->place.offset);
    diagnostic->place.keyPath = paths[static_cast<size_t>(at - offsets.begin())];
  }
}
