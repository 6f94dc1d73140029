// The readers of a source file's sections, and the key check and dispatch
// they share. Each reader reads one member's value into the model of one
// file; none keeps state of its own.
//
// Every reader returns 0, or logs its failure line (after its callee's) and
// returns non-zero. User-supplied texts are masked with MaskControlChars
// before they are logged. JSON values are borrowed from the caller's tree;
// the readers copy every text they keep into the model.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "reader/policy_model.h"

struct JsonValue;

// Reads one member's value into the per-file model.
using SectionReader = int (*)(JsonValue* value, PolicyModel& model);
struct KeyHandler {
  std::string_view key;
  SectionReader read;
};
// At most MAX_ALLOWED_KEYS keys: CheckObjectKeys marks each one met in a bit.
inline constexpr size_t MAX_ALLOWED_KEYS = 32;
using AllowedKeys = std::span<const std::string_view>;
using HandlerTable = std::span<const KeyHandler>;

// Fails unless `object` is an object with at least one member whose keys are
// all in `allowedKeys`, each at most once. When `values` is given (one slot
// per allowed key), each slot receives the member with that key, or null:
// the readers learn every member in the same walk over the object.
int CheckObjectKeys(JsonValue* object, AllowedKeys allowedKeys, std::span<JsonValue*> values = {});
// Calls the reader of each member's key, in document order, with the
// member's value and `model`; stops at the first failing reader.
int DispatchObjectKeys(JsonValue* object, PolicyModel& model, HandlerTable handlers);
// CheckObjectKeys, then DispatchObjectKeys, on a section object; each
// failure adds its line naming `section` ("declarations", "labeling").
int ReadKeyedSection(JsonValue* value, PolicyModel& model, AllowedKeys allowedKeys,
                     HandlerTable handlers, const char* section);

// "declarations": "type", "attr", "require", "typeattr" and "labeling".
int ReadDeclarationsSection(JsonValue* value, PolicyModel& model);
// "labeling" inside "declarations": "file", "reserved_sid", "netif", "packet".
int ReadLabelingSection(JsonValue* value, PolicyModel& model);
// "rules": digested without the name pool (RulesDigest), then stored.
int ReadRulesSection(JsonValue* value, PolicyModel& model);

// Per-file checks once the whole file is read. Every key of initialSids is
// a name of the initial sid table:
int CheckInitialSidNames(const PolicyModel& fileModel);
// every class of the rules is in the class table, and every operation of a
// grant rule belongs to its class.
int CheckRuleClasses(const PolicyModel& fileModel);
