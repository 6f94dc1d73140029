#include "reader/json_parser.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "base/log.h"
#include "json/json.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/validators.h"

namespace {

// Moves the first entry of `from` into `into`, right before `hint` when it
// belongs there (the entries of `from` come in key order, so runs of them
// usually land side by side). Returns the entry of `into` with that key and
// leaves `node` empty, or holding the moved entry when `into` had the key.
template <typename Map>
typename Map::iterator MoveFirstEntry(Map& from, Map& into, typename Map::iterator hint,
                                      typename Map::node_type& node) {
  node = from.extract(from.begin());
  return into.insert(hint, std::move(node));
}

// Moves every entry of the ordered map `from` into `into`; stops at the
// first key that `into` already holds, hands it to `logDuplicate` and fails.
template <typename Map, typename LogDuplicate>
int MoveUniqueEntries(Map& from, Map& into, LogDuplicate logDuplicate) {
  typename Map::node_type node;
  for (auto hint = into.begin(); !from.empty();) {
    hint = std::next(MoveFirstEntry(from, into, hint, node));
    if (!node.empty()) {
      logDuplicate(node.key());
      return -1;
    }
  }
  return 0;
}

void InsertAll(const NameIdSet& from, NameIdSet& into) {
  for (const NameId id : from.Ids()) into.Insert(id);
}

// Adds every entry of the id map `from` (a file's) to `into` (the merged
// model's). When keys of `from` are in `into` already, the first of them in
// the file's key order `keyLess` goes to `logDuplicate`, and the merge fails.
template <typename Map, typename KeyLess, typename LogDuplicate>
int MergeUniqueEntries(const Map& from, Map& into, KeyLess keyLess, LogDuplicate logDuplicate) {
  FirstInKeyOrder<typename Map::key_type, KeyLess> duplicate(keyLess);
  for (const auto& entry : from) {
    if (!into.insert(entry).second) duplicate.Offer(entry.first);
  }
  if (duplicate.Get() == nullptr) return 0;
  logDuplicate(*duplicate.Get());
  return -1;
}

// Adds the file's labels `from` to the merged `into`; fails on the first
// path, in the order of the texts of `paths`, that `into` has already.
int MergeFileContexts(const FileContextMap& from, FileContextMap& into, const NamePool& paths) {
  FirstInKeyOrder<NameId, ByText> duplicate(ByText{paths});
  for (const auto& [path, context] : from) {
    if (!into.Insert(path, context)) duplicate.Offer(path);
  }
  if (duplicate.Get() == nullptr) return 0;
  LogDuplicatePath(paths.Text(*duplicate.Get()));
  return -1;
}

// The first name of `names`, in key order, for which `fails` holds.
template <typename Fails>
std::optional<NameId> FirstFailingName(const NamePool& pool, const NameIdSet& names, Fails fails) {
  FirstInKeyOrder<NameId, ByText> failing(ByText{pool});
  for (const NameId id : names.Ids()) {
    if (fails(id)) failing.Offer(id);
  }
  if (failing.Get() == nullptr) return std::nullopt;
  return *failing.Get();
}

}  // namespace

int JsonParser::ParseJsonFiles(std::vector<std::string> paths) {
  // The next files are read and parsed while this one's sections are read.
  SourceLookahead sources(paths);
  for (const std::string& path : paths) {
    // Each file gets a fresh model, destroyed when it is merged or fails.
    PolicyModel fileModel = NewFileModel();
    const std::string shownPath = MaskControlChars(path);
    Log(LOG_INFO, "[JsonParser][Parsing json file][file=%s]\n", shownPath.c_str());
    int result = ReadLoadedSource(path, sources.Next(), fileModel);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Parse json file failed][file=%s]\n", shownPath.c_str());
      return result;
    }
    Log(LOG_INFO, "[JsonParser][Validating json file][file=%s]\n", shownPath.c_str());
    result = ValidateJsonFile(fileModel);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Validate json file failed][file=%s]\n", shownPath.c_str());
      return result;
    }
    result = MergeJsonFile(fileModel);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Merge json file failed][file=%s]\n", shownPath.c_str());
      return result;
    }
  }
  Log(LOG_INFO, "[JsonParser][Validating whole json file]\n");
  const int result = ValidateWholeJsonFile();
  if (result != 0) {
    Log(LOG_ERR, "[JsonParser][Validate whole json file failed]\n");
    return result;
  }
  return 0;
}

int JsonParser::ReadLoadedSource(const std::string& path, LoadedSource source,
                                 PolicyModel& fileModel) {
  static constexpr std::string_view KEYS[] = {"declarations", "rules"};
  static constexpr KeyHandler HANDLERS[] = {
      {"declarations", ReadDeclarationsSection},
      {"rules", ReadRulesSection},
  };
  const std::string shownPath = MaskControlChars(path);
  switch (source.status) {
    case LoadedSource::Status::LOADED:
      break;
    case LoadedSource::Status::READ_FAILED:
      Log(LOG_ERR, "[JsonParser][Read file to json string failed][file=%s]\n", shownPath.c_str());
      return -1;
    case LoadedSource::Status::INVALID_JSON:
      Log(LOG_ERR, "[JsonParser][Parse json string failed, invalid json file][file=%s]\n",
          shownPath.c_str());
      Log(LOG_ERR, "[JsonParser][If use typeattr, please check the length of type less than 48]\n");
      return -1;
  }
  JsonValue* root = source.tree.get();
  if (CheckObjectKeys(root, KEYS) != 0) {
    Log(LOG_ERR, "[JsonParser][Validate the declarations or rules key failed][file=%s]\n",
        shownPath.c_str());
    return -1;
  }
  const int result = DispatchObjectKeys(root, fileModel, HANDLERS);
  if (result != 0) {
    Log(LOG_ERR, "[JsonParser][Parse declarations or rules failed][file=%s]\n", shownPath.c_str());
    return result;
  }
  return 0;
}

int JsonParser::ValidateJsonFile(const PolicyModel& fileModel) {
  int result = CheckDeclaredNames(fileModel, nameForms);
  if (result == 0) result = CheckContextReferences(fileModel, nameForms);
  if (result == 0) result = CheckInitialSidNames(fileModel);
  if (result == 0) result = CheckRuleClasses(fileModel);
  if (result == 0) result = CheckFilePaths(fileModel);
  return result;
}

PolicyModel JsonParser::NewFileModel() const {
  PolicyModel fileModel;
  fileModel.names = model.names;
  fileModel.paths = model.paths;
  return fileModel;
}

int JsonParser::MergeJsonFile(PolicyModel& fileModel) {
  assert(fileModel.names.SharesWith(model.names) && fileModel.paths.SharesWith(model.paths) &&
         "file models come from NewFileModel");
  // None of the steps before the labeling maps can fail, so their order is
  // not observable.
  InsertAll(fileModel.types, model.types);
  InsertAll(fileModel.attrs, model.attrs);
  InsertAll(fileModel.requires_, model.requires_);
  TypeAttrMap& typeAttrMap = model.typeAttrMap;
  InsertAll(fileModel.typeAttrMap.names, typeAttrMap.names);
  typeAttrMap.links.insert(typeAttrMap.links.end(), fileModel.typeAttrMap.links.begin(),
                           fileModel.typeAttrMap.links.end());
  // Every type and attribute is an attribute of itself.
  for (const NameIdSet* declared : {&fileModel.types, &fileModel.attrs}) {
    for (const NameId id : declared->Ids()) {
      typeAttrMap.names.Insert(id);
      typeAttrMap.links.push_back({id, id});
    }
  }
  if (MergeFileContexts(fileModel.fileContexts, model.fileContexts, model.paths) != 0 ||
      MoveUniqueEntries(fileModel.initialSids, model.initialSids, LogDuplicateSid) != 0 ||
      MoveUniqueEntries(fileModel.netifs, model.netifs, LogDuplicateNetif) != 0 ||
      MoveUniqueEntries(fileModel.packets, model.packets, LogDuplicatePacket) != 0) {
    return -1;
  }
  model.grantRules.insert(model.grantRules.end(), fileModel.grantRules.begin(),
                          fileModel.grantRules.end());
  const NamePool& names = model.names;
  const auto ruleLess = [&names](const RuleKey& a, const RuleKey& b) {
    return RuleKeyLess(names, a, b);
  };
  const auto logDuplicateRule = [&names](const RuleKey& key) {
    LogDuplicateTransition(names, key);
  };
  return MergeUniqueEntries(fileModel.transitionRules, model.transitionRules, ruleLess,
                            logDuplicateRule);
}

int JsonParser::ValidateWholeJsonFile() {
  if (model.types.size() + model.attrs.size() > MAX_TYPES_AND_ATTRS) {
    Log(LOG_ERR, "[JsonParser][The number of types exceeds the maximum limit][max=%u]\n",
        static_cast<unsigned>(MAX_TYPES_AND_ATTRS));
    return -1;
  }
  const NamePool& names = model.names;
  const auto undefined = FirstFailingName(names, model.requires_, [this](NameId id) {
    return !model.types.Contains(id) && !model.attrs.Contains(id);
  });
  if (undefined.has_value()) {
    Log(LOG_ERR, "[JsonParser][Undefined context in the require section][context=%s]\n",
        MaskControlChars(names.Text(*undefined)).c_str());
    return -1;
  }
  const auto repeated =
      FirstFailingName(names, model.attrs, [this](NameId id) { return model.types.Contains(id); });
  if (repeated.has_value()) {
    Log(LOG_ERR, "[JsonParser][Repeated context in the type and attr section][context=%s]\n",
        MaskControlChars(names.Text(*repeated)).c_str());
    return -1;
  }
  return 0;
}
