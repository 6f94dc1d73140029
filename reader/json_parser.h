// JsonParser, the policy source reader.
//
// ParseJsonFiles loads every source file in turn, reads its sections into a
// fresh per-file PolicyModel, checks that model on its own, merges it into
// the merged model held here and, after the last file, checks the merged
// model as a whole. The first failure ends the read. Loading, and the part
// of reading the rules that needs no name pool, run ahead on a second
// thread (SourceLookahead, RulesDigest); the log is the same as when each
// step runs in its turn.
//
// Every operation returns 0 on success and non-zero on failure (a callee's
// non-zero result is passed on unchanged, so every failure ends as -1), logs
// its own failure line through Log and never throws on bad input; each
// enclosing level adds its own line, so one failure leaves a trace from the
// innermost cause outward. User-supplied texts are masked with
// MaskControlChars before they are logged.
//
// JSON values are borrowed from the caller's parsed tree; the readers copy
// every text they keep into the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/policy_model.h"
#include "reader/rules_digest.h"
#include "reader/source_loader.h"
#include "reader/validators.h"

struct JsonValue;

inline constexpr size_t MAX_TYPES_AND_ATTRS = 65535;  // names over all files

class JsonParser {
 public:
  // A section reader: reads one member's value into the per-file model.
  using SectionHandler = int (JsonParser::*)(JsonValue* value, PolicyModel& model);
  struct KeyHandler {
    std::string_view key;
    SectionHandler handler;
  };
  // At most MAX_ALLOWED_KEYS keys: CheckObjectKeys marks each one met in a bit.
  static constexpr size_t MAX_ALLOWED_KEYS = 32;
  using AllowedKeys = std::span<const std::string_view>;
  using HandlerTable = std::span<const KeyHandler>;

  // The merged model of all files read so far; empty after construction.
  const PolicyModel& GetPolicyModel() const { return model; }
  // Hands the merged model over and leaves this reader's model empty: the
  // compiler takes the model whole, so nothing is copied.
  PolicyModel TakePolicyModel() {
    PolicyModel taken = std::move(model);
    model = PolicyModel();
    nameForms = NameForms();  // it described the old pool
    return taken;
  }

  // An empty model for one file that shares the merged model's name and
  // path pools, as MergeJsonFile requires.
  PolicyModel NewFileModel() const;

  // Loading, key check, dispatch, per-file checks, merge, whole checks.

  // Reads, checks and merges the files of `paths` in order, then checks the
  // merged model as a whole. After a failure the merged model is of no use.
  int ParseJsonFiles(std::vector<std::string> paths);
  // Reads a loaded file (LoadSource) into `fileModel`, or logs why it could
  // not be loaded; `path` only names it in messages.
  int ReadLoadedSource(const std::string& path, LoadedSource source, PolicyModel& fileModel);
  // Fails unless `object` is an object with at least one member whose keys
  // are all in `allowedKeys`, each at most once. When `values` is given (one
  // slot per allowed key), each slot receives the member with that key, or
  // null: the readers learn every member in the same walk over the object.
  // Logs nothing but its failure, so it can run on any thread.
  static int CheckObjectKeys(JsonValue* object, AllowedKeys allowedKeys,
                             std::span<JsonValue*> values = {});
  // Calls the handler of each member's key, in document order, with the
  // member's value and `model`; stops at the first failing handler.
  int DispatchObjectKeys(JsonValue* object, PolicyModel& model, HandlerTable handlers);
  // CheckObjectKeys, then DispatchObjectKeys, on a section object; each
  // failure adds its line naming `section` ("declarations", "labeling").
  int ReadKeyedSection(JsonValue* value, PolicyModel& model, AllowedKeys allowedKeys,
                       HandlerTable handlers, const char* section);
  // The per-file checks, on the model of one file before it is merged.
  int ValidateJsonFile(const PolicyModel& fileModel);
  // Moves the entries of `fileModel`, made by NewFileModel, into the merged
  // model (leaving `fileModel` in an unspecified state). Fails on the first key, in the
  // file's key order, that a labeling map or transitionRules already holds;
  // entries merged before the failure stay in the merged model.
  int MergeJsonFile(PolicyModel& fileModel);
  // The checks of the merged model: size limit, required names, names that
  // are both type and attribute.
  int ValidateWholeJsonFile();

  // The "declarations" section.
  int ReadDeclarationsSection(JsonValue* value, PolicyModel& model);
  int ReadTypeSection(JsonValue* value, PolicyModel& model);
  int ReadAttrSection(JsonValue* value, PolicyModel& model);
  int ReadRequireSection(JsonValue* value, PolicyModel& model);
  int ReadTypeattrSection(JsonValue* value, PolicyModel& model);

  // The "rules" section: digested (RulesDigest), then stored.
  int ReadRulesSection(JsonValue* value, PolicyModel& model);
  static RulesDigest DigestRulesSection(JsonValue* value);
  static int DigestRuleStatements(JsonValue* value, RulesDigest& digest);
  // `subject` is the statement's subject, a position in digest.texts.
  static int DigestTeacEntries(uint32_t subject, JsonValue* teac, RulesDigest& digest);
  static int DigestTransitionEntries(uint32_t subject, JsonValue* typeTransition,
                                     RulesDigest& digest);
  // Interns the digest's texts and stores its rules in `model`; fails on a
  // transition key the file repeats, else where the digest failed.
  int AddDigestedRules(RulesDigest digest, PolicyModel& model);
  // Every class of the rules is in the class table, and every operation of a
  // grant rule belongs to its class.
  int CheckRuleClasses(const PolicyModel& fileModel);

  // The "labeling" section inside "declarations".
  int ReadLabelingSection(JsonValue* value, PolicyModel& model);
  int ReadFileSection(JsonValue* value, PolicyModel& model);
  int ReadReservedSidSection(JsonValue* value, PolicyModel& model);
  int ReadNetifSection(JsonValue* value, PolicyModel& model);
  int ReadPacketSection(JsonValue* value, PolicyModel& model);
  // Every key of initialSids is a name of the initial sid table.
  int CheckInitialSidNames(const PolicyModel& fileModel);

 private:
  PolicyModel model;    // the merged model; only grows
  NameForms nameForms;  // of the texts of model.names, for the per-file checks
};
