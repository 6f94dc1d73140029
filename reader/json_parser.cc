#include "reader/json_parser.h"

#include <algorithm>
#include <cassert>
#include <optional>
#include <utility>

#include "base/log.h"
#include "json/json.h"
#include "reader/diagnostic_codes.h"
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
// first key that `into` already holds, and fails with `duplicate` of it.
template <typename Map, typename Duplicate>
std::optional<Fault> MoveUniqueEntries(Map& from, Map& into, Duplicate duplicate) {
  typename Map::node_type node;
  for (auto hint = into.begin(); !from.empty();) {
    hint = std::next(MoveFirstEntry(from, into, hint, node));
    if (!node.empty()) return duplicate(node.key());
  }
  return std::nullopt;
}

void InsertAll(const NameIdSet& from, NameIdSet& into) {
  for (const NameId id : from.Ids()) into.Insert(id);
}

// Adds every entry of the id map `from` (a file's) to `into` (the merged
// model's). When keys of `from` are in `into` already, the merge fails with
// `duplicate` of the first of them in the file's key order `keyLess`.
template <typename Map, typename KeyLess, typename Duplicate>
std::optional<Fault> MergeUniqueEntries(const Map& from, Map& into, KeyLess keyLess,
                                        Duplicate duplicate) {
  FirstInKeyOrder<typename Map::key_type, KeyLess> first(keyLess);
  for (const auto& entry : from) {
    if (!into.insert(entry).second) first.Offer(entry.first);
  }
  if (first.Get() == nullptr) return std::nullopt;
  return duplicate(*first.Get());
}

// Adds the file's labels `from` to the merged `into`; fails on the first
// path, in the order of the texts of `paths`, that `into` has already.
std::optional<Fault> MergeFileContexts(const FileContextMap& from, FileContextMap& into,
                                       const NamePool& paths) {
  FirstInKeyOrder<NameId, ByText> duplicate(ByText{paths});
  for (const auto& [path, context] : from) {
    if (!into.Insert(path, context)) duplicate.Offer(path);
  }
  if (duplicate.Get() == nullptr) return std::nullopt;
  return DuplicatePath(paths.Text(*duplicate.Get()));
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

int ReadLoadedSource(ReadContext& context, const LoadedSource& source) {
  const char* file = context.ShownFile().c_str();
  switch (source.status) {
    case LoadedSource::Status::LOADED:
      return ReadSourceDocument(context, source.tree.get());
    case LoadedSource::Status::READ_FAILED:
      return ReportFileFault(
          context.diagnostics, context.File(),
          {code::READ_FAILED, "cannot read the file",
           Format("[JsonParser][Read file to json string failed][file=%s]\n", file)});
    case LoadedSource::Status::INVALID_JSON:
      break;
  }
  ReportFileFault(
      context.diagnostics, context.File(),
      {code::JSON_SYNTAX, source.error,
       Format("[JsonParser][Parse json string failed, invalid json file][file=%s]\n", file)});
  context.diagnostics.Last().place.offset = source.errorOffset;
  return context.Trace(
      "[JsonParser][If use typeattr, please check the length of type less than 48]\n");
}

int JsonParser::Fail(const std::string& line) {
  Diagnostic& fault = diagnostics.Last();
  fault.trace.push_back(line);
  for (const std::string& traced : fault.trace) Log(LOG_ERR, "%s", traced.c_str());
  return -1;
}

int JsonParser::ParseJsonFiles(std::vector<std::string> paths) {
  // The next files are read and parsed while this one's sections are read.
  SourceLookahead sources(paths, Places::SKIP, timer);
  // One model takes each file in turn: its storage serves them all.
  PolicyModel fileModel = NewFileModel();
  for (const std::string& path : paths) {
    if (ReadJsonFile(path, sources.Next(), fileModel) != 0) return -1;
  }
  Log(LOG_INFO, "[JsonParser][Validating whole json file]\n");
  const TimedStage checks(timer, Stage::CHECKS);
  if (ValidateWholeJsonFile() != 0) return Fail("[JsonParser][Validate whole json file failed]\n");
  return 0;
}

int JsonParser::ReadJsonFile(const std::string& path, LoadedSource source,
                             PolicyModel& fileModel) {
  const std::string shownPath = MaskControlChars(path);
  Log(LOG_INFO, "[JsonParser][Parsing json file][file=%s]\n", shownPath.c_str());
  {
    const TimedStage sections(timer, Stage::SECTIONS);
    ReadContext context(fileModel, diagnostics, path);
    const int read = ReadLoadedSource(context, source);
    source = LoadedSource();
    if (read != 0) {
      return Fail(Format("[JsonParser][Parse json file failed][file=%s]\n", shownPath.c_str()));
    }
  }
  Log(LOG_INFO, "[JsonParser][Validating json file][file=%s]\n", shownPath.c_str());
  {
    const TimedStage checks(timer, Stage::CHECKS);
    if (ValidateJsonFile(fileModel, path) != 0) {
      return Fail(Format("[JsonParser][Validate json file failed][file=%s]\n", shownPath.c_str()));
    }
  }
  const TimedStage merge(timer, Stage::MERGE);
  const int merged = MergeJsonFile(fileModel, path);
  fileModel.ClearEntries();
  if (merged != 0) {
    return Fail(Format("[JsonParser][Merge json file failed][file=%s]\n", shownPath.c_str()));
  }
  return 0;
}

int JsonParser::ValidateJsonFile(const PolicyModel& fileModel, const std::string& file) {
  int result = CheckDeclaredNames(fileModel, nameForms, diagnostics, file);
  if (result == 0) result = CheckContextReferences(fileModel, nameForms, diagnostics, file);
  if (result == 0) result = CheckInitialSidNames(fileModel, diagnostics, file);
  if (result == 0) result = CheckRuleClasses(fileModel, diagnostics, file);
  if (result == 0) result = CheckFilePaths(fileModel, diagnostics, file);
  return result;
}

PolicyModel JsonParser::NewFileModel() const {
  PolicyModel fileModel;
  fileModel.names = model.names;
  fileModel.paths = model.paths;
  return fileModel;
}

int JsonParser::MergeJsonFile(PolicyModel& fileModel, const std::string& file) {
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
  std::optional<Fault> duplicate =
      MergeFileContexts(fileModel.fileContexts, model.fileContexts, model.paths);
  if (!duplicate) {
    duplicate = MoveUniqueEntries(fileModel.initialSids, model.initialSids, DuplicateSid);
  }
  if (!duplicate) duplicate = MoveUniqueEntries(fileModel.netifs, model.netifs, DuplicateNetif);
  if (!duplicate) {
    duplicate = MoveUniqueEntries(fileModel.packets, model.packets, DuplicatePacket);
  }
  if (!duplicate) {
    model.grantRules.insert(model.grantRules.end(), fileModel.grantRules.begin(),
                            fileModel.grantRules.end());
    const NamePool& names = model.names;
    duplicate = MergeUniqueEntries(
        fileModel.transitionRules, model.transitionRules,
        [&names](const RuleKey& a, const RuleKey& b) { return RuleKeyLess(names, a, b); },
        [&names](const RuleKey& key) { return DuplicateTransition(names, key); });
  }
  return duplicate ? ReportFileFault(diagnostics, file, std::move(*duplicate)) : 0;
}

int JsonParser::ValidateWholeJsonFile() {
  const std::string policy;  // the faults here belong to no one file
  if (model.types.size() + model.attrs.size() > MAX_TYPES_AND_ATTRS) {
    return ReportFileFault(diagnostics, policy, TooManyNamesFault());
  }
  const NamePool& names = model.names;
  const auto undefined = FirstFailingName(names, model.requires_, [this](NameId id) {
    return !model.types.Contains(id) && !model.attrs.Contains(id);
  });
  if (undefined.has_value()) {
    return ReportFileFault(diagnostics, policy, UnresolvedRequireFault(names.Text(*undefined)));
  }
  const auto repeated =
      FirstFailingName(names, model.attrs, [this](NameId id) { return model.types.Contains(id); });
  if (repeated.has_value()) {
    return ReportFileFault(diagnostics, policy, TypeAndAttributeFault(names.Text(*repeated)));
  }
  return 0;
}
