// JSON reader for policy source files: a two-pass parser that lays one
// document out in a single memory block (the arena), and plain functions
// that read values out of the resulting tree.
//
// Ownership
//   - JsonParse hands out the root of a new document; the caller owns it and
//     releases it, with every value below it, by one JsonDelete on the root.
//   - Every value, key and string text of a parsed document lives in the
//     document's arena. Pointers handed out by the getters (values, keys,
//     texts) stay valid until the root is deleted; the caller neither frees
//     nor changes them.
//   - The parse state and the tape exist only during JsonParse. After a failed
//     parse nothing of that parse is left allocated.
//
// Dialect (RFC 8259 text, with these differences)
//   - Whitespace is every byte that, read as a signed 8-bit number, is at most
//     32: 0x00-0x20 and 0x80-0xFF. A UTF-8 byte order mark before the root is
//     therefore skipped. Inside strings every byte is text; raw control
//     characters are kept.
//   - Numbers: an optional '-', then what strtoll (base 0: 0x1F is 31, 010 is
//     8) or, when the digit run is followed by '.', 'e' or 'E', strtod reads.
//     A range error (99999999999999999999, 1e999) fails the parse.
//   - Any kind may be the root. Duplicate keys are kept in document order.
//   - Limits: text at most JSON_MAX_TEXT_LENGTH bytes; nesting depth
//     JSON_MAX_DEPTH (the outermost container is level 1); a member key at
//     most JSON_MAX_KEY_RAW_LENGTH bytes between its quotes and at most
//     JSON_MAX_KEY_SIZE bytes decoded, terminator included (47 bytes of text).
//
// Concurrency: the hooks are process-wide and unguarded; install them before
// any parse. The error position is per thread, so threads may parse
// documents of their own at the same time. Indexed array access writes the
// array's position cache, so even reading one tree from several threads
// needs outside locking.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Result codes of every function that returns an int.
enum : int {
  JSON_OK = 0,        // success; the out value is written
  JSON_FAIL = 1,      // null argument, wrong kind, key absent, index >= count,
                      // or (JsonParse) any parse failure
  JSON_NO_NEXT = 2,   // JsonGetNext on the last child
  JSON_NO_MEMBER = 3  // JsonGetFirstChild on an object without members
};

// Value kinds: the low four bits of a value's tag.
constexpr uint8_t JSON_NULL = 0;
constexpr uint8_t JSON_TRUE = 1;
constexpr uint8_t JSON_FALSE = 2;
constexpr uint8_t JSON_NUMBER = 3;
constexpr uint8_t JSON_STRING = 4;
constexpr uint8_t JSON_ARRAY = 5;
constexpr uint8_t JSON_OBJECT = 6;
constexpr uint8_t JSON_KIND_MASK = 0x0F;

// Tag flags: the upper four bits of a value's tag.
constexpr uint8_t JSON_FLAG_DOUBLE = 0x10;      // number held as a double; clear: int64_t
constexpr uint8_t JSON_FLAG_ARENA = 0x20;       // node lives in a document arena
constexpr uint8_t JSON_FLAG_ARENA_TEXT = 0x40;  // string text lives in the arena
constexpr uint8_t JSON_FLAG_KEY = 0x80;         // object member: a key follows the node

constexpr uint32_t JSON_MAX_TEXT_LENGTH = 0x0FFFFFFF;  // bytes before the NUL
constexpr uint32_t JSON_MAX_DEPTH = 256;               // nesting levels
constexpr uint32_t JSON_MAX_KEY_RAW_LENGTH = 255;      // source bytes between quotes
constexpr uint32_t JSON_MAX_KEY_SIZE = 48;             // decoded, terminator included

struct JsonValue;

#pragma pack(push, 1)
struct JsonObjectList {
  JsonValue* last;   // last member, null when empty
  JsonValue* first;  // first member, null when empty
};

struct JsonArrayList {
  uint32_t count;         // elements
  uint32_t cachedIndex;   // index of cachedItem
  JsonValue* cachedItem;  // element at cachedIndex (null when empty)
  JsonValue* last;        // last element, null when empty
  JsonValue* first;       // first element, null when empty
};

// One node per value, packed without padding: a node takes only the bytes
// its kind needs (JsonNodeSize), and a member's key follows the node directly
// as its 32-bit JsonKeyHash (machine byte order) and its NUL-terminated text.
// Children form a doubly linked list in document order; the first child's
// prev points at its container's (last, first) pair, never null, and the last
// child's next is null. prev and next both null: the root of a document.
// Read keys, links and texts through the functions below; numbers from
// `integer` or `real`, as JSON_FLAG_DOUBLE says (the policy reader reads
// none).
struct JsonValue {
  JsonValue* prev;  // previous sibling (see above)
  JsonValue* next;  // next sibling, null for the last child
  uint8_t tag;      // kind | flags
  union {
    int64_t integer;        // JSON_NUMBER without JSON_FLAG_DOUBLE
    double real;            // JSON_NUMBER with JSON_FLAG_DOUBLE
    char* text;             // JSON_STRING: NUL-terminated, owned as the tag says
    JsonObjectList object;  // JSON_OBJECT
    JsonArrayList array;    // JSON_ARRAY
  };
};
#pragma pack(pop)

// Bytes of a node of `kind` up to its key: 17 null/true/false, 25 number and
// string, 33 object, 49 array. A table, as every value measured, built and
// read looks it up.
inline uint32_t JsonNodeSize(uint8_t kind) {
  constexpr uint8_t SCALAR = 17, VALUE = 25, OBJECT = 33, ARRAY = 49;
  static constexpr uint8_t SIZES[JSON_KIND_MASK + 1] = {
      SCALAR, SCALAR, SCALAR, VALUE,  VALUE,  ARRAY,  OBJECT, SCALAR,
      SCALAR, SCALAR, SCALAR, SCALAR, SCALAR, SCALAR, SCALAR, SCALAR};
  return SIZES[kind & JSON_KIND_MASK];
}

// Allocation hooks, process-wide. The library never asks allocFunc for 0
// bytes. A document is released through the freeFunc installed when it is
// deleted, so install hooks before parsing and keep them until the documents
// parsed with them are deleted.
struct JsonHooks {
  void* (*allocFunc)(uint32_t size);  // null on failure
  void (*freeFunc)(void* ptr);        // must accept what allocFunc returned
};

// Installs `hooks`. JSON_FAIL, and nothing changed, when hooks or either
// function is null. The defaults take their blocks from AllocateBlock
// (base/huge_pages.h); only with them does a deferred document move the
// pages it is done with ahead of its build (MovePages).
int JsonInitHooks(const JsonHooks* hooks);
// The hooks installed now, to put back after installing others.
JsonHooks JsonGetHooks();

// Releases `ptr` through the installed freeFunc; null is ignored.
void JsonFree(void* ptr);

// Parses the NUL-terminated `text` into a new document and stores its root in
// *root (out). Returns JSON_OK or JSON_FAIL.
//   - text or root null, text longer than JSON_MAX_TEXT_LENGTH, or the parse
//     state not allocated: fails at once; *root and the error position are
//     untouched.
//   - a syntax error, a limit or a range error found while measuring the text,
//     or the arena not allocated: *root untouched, error position recorded.
//   - a bad escape found while building, or anything but whitespace after the
//     root: *root set to null, error position recorded.
// The error position is the byte where the text went wrong: one that cannot
// continue the text there, the backslash of a bad escape, the opening quote
// of a key over the limits, the bracket of a container too deep, the
// terminator of an unterminated text. On success it is cleared
// (JsonGetErrorPointer null, JsonGetErrorPosition 1).
int JsonParse(const char* text, JsonValue** root);

// Options of JsonParseWithOptions, or-ed together.
// A \u0000 escape in a string or key fails the parse at its backslash, as a
// syntax error would: the decoded NUL would cut the text short for every
// reader that stops at the first NUL.
constexpr uint32_t JSON_PARSE_REFUSE_NUL_ESCAPE = 1;
// Deferred building, for a document too large to hold as one tree: a
// container whose children take `deferBytes` of the arena or more is built
// as a node alone, and its children about `deferBytes` bytes at a time, as
// they are walked. The nodes of the document then stand where they would
// in a tree built whole, and the tree reads the same through the access
// functions, but:
//   - walk a container through them only: a raw `first` or `next` may lead
//     to a child not yet built. JsonGetFirstChild, JsonGetFirstElement and
//     JsonGetNext build a container's next children when they reach them;
//     the other getters build all that is left of a container they look
//     into. JsonPlaces takes no deferred document;
//   - the document reads `text` until it is deleted;
//   - every escape is checked by the measure pass, so that building later
//     cannot fail: the first bad escape is the failure, where without this
//     option a syntax error after it might be;
//   - JsonRelease gives back what the caller will not read again.
constexpr uint32_t JSON_PARSE_DEFER = 2;
constexpr uint32_t JSON_DEFER_BYTES = 1u << 20;

// JsonParse of the text of `length` bytes at `text` (text[length] is its NUL,
// and no NUL comes before it), with `options` (and `deferBytes` with
// JSON_PARSE_DEFER); JsonParse itself uses none.
int JsonParseWithOptions(const char* text, size_t length, JsonValue** root, uint32_t options,
                         uint32_t deferBytes = JSON_DEFER_BYTES);

// A child not yet built, in a deferred document: its place in the arena
// holds, instead of a node, what builds it and, where a node's tag would
// be, this tag, which no node has.
constexpr uint8_t JSON_UNBUILT_TAG = 0xFF;
// Builds the window of children that starts at the unbuilt `child`, and
// returns it.
JsonValue* JsonBuildUnbuilt(JsonValue* child);

// Declares that the caller will read nothing of `container`, a container of
// the document `root`, before its child `next` again, nor anything of it at
// all when `next` is null. In a deferred document, the whole pages of the
// arena those children take, and of the text and the tape that no container
// still to be built needs, go back to the system and read as zero from then
// on; otherwise nothing happens.
void JsonRelease(const JsonValue* root, const JsonValue* container, const JsonValue* next);

// Releases `value` and everything below it. For the root of a document this
// releases the whole arena; for any other node of a document it releases
// nothing. Null is ignored.
void JsonDelete(JsonValue* value);

// Why a parse failed.
enum class JsonErrorCause : uint8_t {
  NONE,                  // the last parse succeeded, or none failed yet
  UNEXPECTED_END,        // the text ends where a value is due
  UNEXPECTED_CHARACTER,  // a byte that cannot start a value
  MISSING_VALUE,         // a closing bracket where a value is due
  BAD_LITERAL,           // a word other than true, false and null
  EXPECTED_COMMA_OR_BRACKET,
  EXPECTED_COMMA_OR_BRACE,
  EXPECTED_COLON,
  EXPECTED_KEY,  // a member that does not start with a quotation mark
  TRAILING_COMMA,
  UNTERMINATED_STRING,
  BAD_ESCAPE,      // an unknown escape or a malformed \u sequence
  NUL_ESCAPE,      // \u0000 under JSON_PARSE_REFUSE_NUL_ESCAPE
  INVALID_NUMBER,  // a number the conversion reads only part of, or none of
  NUMBER_OUT_OF_RANGE,
  KEY_TOO_LONG,  // over JSON_MAX_KEY_RAW_LENGTH or JSON_MAX_KEY_SIZE
  TOO_DEEP,      // nesting beyond JSON_MAX_DEPTH
  TEXT_AFTER_VALUE,
  TOO_LARGE,  // the arena would not fit in 32 bits
  OUT_OF_MEMORY,
};

// The cause of the last failed parse on this thread and the offset in its
// text of the byte a person should look at: the error position's, but for
// an unterminated string its opening quote, for a trailing comma the comma
// and for a malformed number its first byte. {NONE, 0} after a success; untouched by a parse that fails at
// once (see JsonParse).
struct JsonError {
  JsonErrorCause cause;
  uint32_t offset;
};
JsonError JsonGetError();

// A short description of `cause` for people, such as "expected ',' or ']'".
const char* JsonErrorMessage(JsonErrorCause cause);

// Where the last failed parse on this thread stopped: a pointer into its text (at most the
// terminating NUL), or null when the last parse succeeded or none failed yet.
const char* JsonGetErrorPointer();
// Offset of JsonGetErrorPointer in the text, plus 1 (1 after a success).
uint32_t JsonGetErrorPosition();

namespace json_hash {
// The bytes at `bytes` as a little-endian T; a single load on little-endian
// hosts, and usable in constant expressions.
template <typename T>
constexpr T LoadLe(const char* bytes) {
  if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
    T value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
  }
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    value = static_cast<T>(value | static_cast<T>(static_cast<unsigned char>(bytes[i])) << (8 * i));
  }
  return value;
}
}  // namespace json_hash

// Hash of the `length` bytes at `key`, stored with every member so that
// lookups compare texts only when the hashes agree. "abc" gives 0x5F1203A4.
// A constant expression for a constant key.
constexpr uint32_t JsonKeyHash(const char* key, uint32_t length) {
  constexpr uint64_t WORD_MULTIPLIER = 0x9E3779B97F4A7C15ull;
  constexpr uint32_t TAIL_MULTIPLIER = 0x9E3779B9u;
  uint32_t hash = 0;
  uint32_t i = 0;
  for (; length - i >= 8; i += 8) {
    hash += static_cast<uint32_t>((json_hash::LoadLe<uint64_t>(key + i) * WORD_MULTIPLIER) >> 32);
  }
  if ((length & 4) != 0) {
    hash += json_hash::LoadLe<uint32_t>(key + i) * TAIL_MULTIPLIER;
    i += 4;
  }
  if ((length & 2) != 0) {
    hash += json_hash::LoadLe<uint16_t>(key + i) * TAIL_MULTIPLIER;
    i += 2;
  }
  if ((length & 1) != 0) hash += static_cast<unsigned char>(key[i]) * TAIL_MULTIPLIER;
  return hash;
}

// Kind of a non-null value (JSON_NULL ... JSON_OBJECT).
inline uint8_t JsonGetKind(const JsonValue* value) {
  return static_cast<uint8_t>(value->tag & JSON_KIND_MASK);
}

// ---- Access functions ----
// Unless stated otherwise: JSON_OK with *out written; any other result leaves
// *out unwritten. A null value, key or out pointer is JSON_FAIL.

// The getters of texts and keys are inline: the readers call them millions
// of times.

// The text of a string value.
inline int JsonGetString(const JsonValue* value, const char** out) {
  if (value == nullptr || out == nullptr || JsonGetKind(value) != JSON_STRING) return JSON_FAIL;
  *out = value->text;
  return JSON_OK;
}
// The key of an object member; JSON_FAIL when the value carries none.
inline int JsonGetKey(const JsonValue* value, const char** out) {
  if (value == nullptr || out == nullptr || (value->tag & JSON_FLAG_KEY) == 0) return JSON_FAIL;
  *out = reinterpret_cast<const char*>(value) + JsonNodeSize(value->tag) + sizeof(uint32_t);
  return JSON_OK;
}
// The key and its JsonKeyHash, which the member carries: keys of other
// hashes differ, so most comparisons of keys need not look at their texts.
inline int JsonGetHashedKey(const JsonValue* value, const char** key, uint32_t* hash) {
  if (value == nullptr || key == nullptr || hash == nullptr || (value->tag & JSON_FLAG_KEY) == 0) {
    return JSON_FAIL;
  }
  const char* keyArea = reinterpret_cast<const char*>(value) + JsonNodeSize(value->tag);
  std::memcpy(hash, keyArea, sizeof(*hash));
  *key = keyArea + sizeof(*hash);
  return JSON_OK;
}
// The next sibling; JSON_NO_NEXT when `value` is the last child (or a root).
int JsonGetNext(const JsonValue* value, JsonValue** out);
// The same, null when there is none: for walks over many children, where a
// call for each would cost.
inline JsonValue* JsonNextSibling(const JsonValue* value) {
  JsonValue* next = value->next;
  return next != nullptr && next->tag == JSON_UNBUILT_TAG ? JsonBuildUnbuilt(next) : next;
}
// The first member of an object; JSON_FAIL for any other kind (arrays too),
// JSON_NO_MEMBER when the object is empty.
int JsonGetFirstChild(const JsonValue* object, JsonValue** out);
// The first element of an array; JSON_FAIL for any other kind,
// JSON_NO_MEMBER when the array is empty.
int JsonGetFirstElement(const JsonValue* array, JsonValue** out);

// The first member of `object` whose key equals `key` exactly
// (NUL-terminated; case and escapes matter). JSON_FAIL when `object` is not
// an object or the member is absent.
int JsonGetObjectItem(const JsonValue* object, const char* key, JsonValue** out);

// Getters on element `index` (from 0) of `array`. They update the array's
// position cache, so a loop over 0, 1, 2, ... costs one step per element.
// The element count of an array; 0 for a null pointer or any other kind.
uint32_t JsonGetArraySize(const JsonValue* array);
// JSON_FAIL when `array` is not an array or index >= count; in the latter
// case *out is set to null.
int JsonGetArrayItem(JsonValue* array, uint32_t index, JsonValue** out);
// JSON_FAIL also when the element is not a string.
int JsonGetArrayString(JsonValue* array, uint32_t index, const char** out);
