// The readers of a source file's sections, and the key check and dispatch
// they share. Each reader reads one member's value into the model of the
// file being read (ReadContext); none keeps state of its own.
//
// Every reader returns 0, or records its fault (ReadContext::Error), adds
// its trace line and returns non-zero. When the run keeps going (polclint),
// a reader skips what it cannot read and reads on; its result then only
// says whether it skipped anything. User-supplied texts are masked with
// MaskControlChars before they go into a log line. JSON values are borrowed
// from the caller's tree; the readers copy every text they keep into the
// model.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "reader/json_access.h"
#include "reader/read_context.h"

struct JsonValue;

// Reads one member's value into the model of the context.
using SectionReader = int (*)(JsonValue* value, ReadContext& context);
struct KeyHandler {
  AllowedKey key;
  SectionReader read;
};
// At most MAX_ALLOWED_KEYS keys: CheckObjectKeys marks each one met in a bit.
inline constexpr size_t MAX_ALLOWED_KEYS = 32;
using HandlerTable = std::span<const KeyHandler>;

// Fails unless `object` is an object with at least one member whose keys are
// all in `allowedKeys`, each at most once. When `values` is given (one slot
// per allowed key), each slot receives the member with that key, or null:
// the readers learn every member in the same walk over the object. When the
// run keeps going, every wrong key is reported and the check fails only for
// a value that is no object or an empty one; the slots then hold the first
// member of each allowed key.
int CheckObjectKeys(ReadContext& context, JsonValue* object, AllowedKeys allowedKeys,
                    std::span<JsonValue*> values = {});
// CheckObjectKeys with the keys of `handlers`, then the reader of each
// member's key in document order, with the member's value, each at its key
// in the key path. A failed key check adds `keyCheckFailed` to the trace, a
// failed reader "Parse the value failed" with its key and then `readFailed`.
int ReadKeyedObject(ReadContext& context, JsonValue* object, HandlerTable handlers,
                    const std::string& keyCheckFailed, const std::string& readFailed);

// A source file's document: its "declarations" and "rules".
int ReadSourceDocument(ReadContext& context, JsonValue* root);
// "declarations": "type", "attr", "require", "typeattr" and "labeling".
int ReadDeclarationsSection(JsonValue* value, ReadContext& context);
// "labeling" inside "declarations": "file", "reserved_sid", "netif", "packet".
int ReadLabelingSection(JsonValue* value, ReadContext& context);
// "rules": digested without the name pool (RulesDigest), then stored.
int ReadRulesSection(JsonValue* value, ReadContext& context);

// Per-file checks once the whole file is read; `diagnostics` receives the
// first fault, for `file`. Every key of initialSids is a name of the
// initial sid table:
int CheckInitialSidNames(const PolicyModel& fileModel, Diagnostics& diagnostics,
                         const std::string& file);
// every class of the rules is in the class table, and every operation of a
// grant rule belongs to its class.
int CheckRuleClasses(const PolicyModel& fileModel, Diagnostics& diagnostics,
                     const std::string& file);
