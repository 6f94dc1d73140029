// The two-pass parser. The measure pass checks the syntax, counts the values
// and records on a tape what the build pass needs; the build pass replays
// the tape alone (it never rescans whitespace or punctuation) and lays the
// tree out in one arena sized exactly from the counts: nodes, keys and texts
// back to back in document order.
//
// Tape records, one per value in document order, a container's before its
// children's, each container's closed by a TAPE_END byte:
//   tag byte: kind | TAPE_DOUBLE | TAPE_MEMBER | TAPE_KEY_ESCAPED |
//             TAPE_TEXT_ESCAPED
//   member:   the key's text span
//   string:   the string's text span
//   number:   its 64-bit value (int64_t or double bits), machine byte order
// A text span is three varints: the distance from the mark (the byte after
// the previous span's closing quote, initially 0) to the first text byte,
// the raw length between the quotes, and, only when the tag says the text
// holds escapes, the decoded size with the terminator (otherwise raw + 1).
// The distances stay small in any real document, so a record of a member
// string takes about five bytes.
#include "json/json.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/huge_pages.h"
#include "bounded/bounded.h"
#include "json/json_node.h"
#include "json/json_text.h"

using json_node::KEY_HASH_SIZE;
using json_text::SkipWhitespace;

namespace {

// A block's size stands in front of it, for its release. Every document's
// blocks are kept for the next document's.
constexpr uint32_t SIZE_FIELD = 16;  // keeps the block aligned for any type

void* DefaultAlloc(uint32_t size) {
  if (size == 0) return nullptr;
  auto* block = static_cast<uint8_t*>(AllocateBlock(size_t{size} + SIZE_FIELD));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof(size));
  return block + SIZE_FIELD;
}

void DefaultFree(void* ptr) {
  uint8_t* block = static_cast<uint8_t*>(ptr) - SIZE_FIELD;
  uint32_t size;
  std::memcpy(&size, block, sizeof(size));
  KeepBlock(block, size_t{size} + SIZE_FIELD);
}

JsonHooks g_hooks = {DefaultAlloc, DefaultFree};
// Per thread, so that threads may parse documents of their own side by side.
thread_local const char* g_errorText = nullptr;  // text of the last failed parse
thread_local uint32_t g_errorOffset = 0;         // where in g_errorText it stopped
thread_local JsonError g_error = {JsonErrorCause::NONE, 0};

void* Alloc(uint32_t size) { return size == 0 ? nullptr : g_hooks.allocFunc(size); }

constexpr uint32_t INLINE_TAPE_SIZE = 1024;
// Texts this large (with the terminator) get an allocated tape of
// TAPE_BYTES_PER_BLOCK per TEXT_BLOCK of text, plus one inline tape's worth.
constexpr uint32_t TEXT_BLOCK = 4096;
constexpr uint32_t TAPE_BYTES_PER_BLOCK = 1024;

constexpr uint8_t TAPE_DOUBLE = JSON_FLAG_DOUBLE;
constexpr uint8_t TAPE_KEY_ESCAPED = 0x20;
constexpr uint8_t TAPE_TEXT_ESCAPED = 0x40;
constexpr uint8_t TAPE_MEMBER = JSON_FLAG_KEY;
constexpr uint8_t TAPE_END = JSON_KIND_MASK;  // no kind has this code
// The tape flags a node keeps.
constexpr uint8_t NODE_TAG_BITS = JSON_KIND_MASK | JSON_FLAG_DOUBLE | JSON_FLAG_KEY;

constexpr uint32_t MAX_VARINT = 5;
constexpr uint32_t MAX_SPAN = 3 * MAX_VARINT;
// Largest record: tag, key span and string span (a number's is smaller).
constexpr uint32_t MAX_TAPE_RECORD = 1 + 2 * MAX_SPAN;

struct Tape {
  uint8_t* data;      // inlineBuffer or an allocated block
  uint32_t capacity;  // bytes at data
  uint32_t used;      // bytes written by the measure pass
  uint8_t inlineBuffer[INLINE_TAPE_SIZE];
};

struct ParseState {
  uint8_t* arenaCursor;  // next free byte of the arena
  uint32_t objects;
  uint32_t arrays;
  uint32_t numbers;
  uint32_t nulls;
  uint32_t trues;
  uint32_t falses;
  uint32_t strings;
  uint32_t keyBytes;     // per member: decoded key size + KEY_HASH_SIZE
  uint32_t stringBytes;  // per string: decoded size
  Tape tape;
};

struct DocCursor {
  const char* text;  // NUL-terminated
  uint32_t size;     // text length + 1: the NUL is inside
  uint32_t pos;      // next byte to read
  uint32_t depth;    // nesting level of the value being read
};

struct Parser {
  DocCursor cur;
  uint32_t options;  // JSON_PARSE_* flags
  ParseState* state;
  uint32_t mark;      // see the tape description above
  const uint8_t* in;  // build pass: next tape byte to read
  uint8_t* arenaEnd;  // end of the arena
  // Why the text failed and where a person should look (JsonError).
  JsonErrorCause cause;
  uint32_t place;
  // The last number measured: a failure right where it ends, at a byte that
  // could continue a number, is the number's fault.
  uint32_t numberStart;
  uint32_t numberEnd;
};

// Where a key's or a string's text lies in the source and what it decodes to.
struct TextSpan {
  uint32_t start;        // first byte after the opening quote
  uint32_t rawLength;    // bytes between the quotes
  uint32_t decodedSize;  // decoded bytes plus the terminator
  bool Escaped() const { return rawLength + 1 != decodedSize; }
};

// ---- Tape ----

bool TapeGrow(Tape& tape) {
  if (static_cast<int32_t>(tape.capacity) < 0) return false;
  uint32_t capacity = tape.capacity * 2;
  auto* data = static_cast<uint8_t*>(Alloc(capacity));
  if (data == nullptr) return false;
  if (bounded::memcpy_s(data, capacity, tape.data, tape.used) != 0) {
    JsonFree(data);
    return false;
  }
  if (tape.data != tape.inlineBuffer) JsonFree(tape.data);
  tape.data = data;
  tape.capacity = capacity;
  return true;
}

bool TapeReserve(Tape& tape, uint32_t bytes) {
  return tape.capacity - tape.used >= bytes || TapeGrow(tape);
}

void TapeRelease(Tape& tape) {
  if (tape.data != tape.inlineBuffer) JsonFree(tape.data);
  tape.data = nullptr;
}

// Tape bytes are written and read through local pointers: the compiler must
// assume a byte store may change any field in memory, so cursors kept in the
// parse state would be reloaded after every byte.
uint8_t* PutVarint(uint8_t* out, uint32_t value) {
  for (; value >= 0x80; value >>= 7) *out++ = static_cast<uint8_t>(value | 0x80);
  *out++ = static_cast<uint8_t>(value);
  return out;
}

const uint8_t* GetVarint(const uint8_t* in, uint32_t* value) {
  uint32_t result = 0;
  for (unsigned shift = 0;; shift += 7) {
    uint8_t byte = *in++;
    result |= static_cast<uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  *value = result;
  return in;
}

uint8_t* PutSpan(uint8_t* out, uint32_t* mark, const TextSpan& span) {
  out = PutVarint(out, span.start - *mark);
  out = PutVarint(out, span.rawLength);
  if (span.Escaped()) out = PutVarint(out, span.decodedSize);
  *mark = span.start + span.rawLength + 1;
  return out;
}

// Fills *span (out) rather than returning it: a returned span is packed into
// registers through the stack, which stalls on every call.
inline void GetSpan(Parser& p, bool escaped, TextSpan* span) {
  uint32_t gap;
  uint32_t rawLength;
  uint32_t decodedSize;
  const uint8_t* in = GetVarint(p.in, &gap);
  in = GetVarint(in, &rawLength);
  if (escaped) {
    in = GetVarint(in, &decodedSize);
  } else {
    decodedSize = rawLength + 1;
  }
  p.in = in;
  uint32_t start = p.mark + gap;
  p.mark = start + rawLength + 1;
  *span = TextSpan{start, rawLength, decodedSize};
}

// ---- Measure pass ----
//
// The measure functions take the position of what they read and return the
// position after it, or FAILED with the cursor set where the text failed:
// positions kept in registers, not in memory that every tape store might
// change.

constexpr uint32_t FAILED = UINT32_MAX;  // above any position

uint32_t Fail(Parser& p, uint32_t pos, JsonErrorCause cause, uint32_t place) {
  p.cur.pos = pos;
  p.cause = cause;
  p.place = place;
  return FAILED;
}

uint32_t Fail(Parser& p, uint32_t pos, JsonErrorCause cause) { return Fail(p, pos, cause, pos); }

uint32_t SkipSpace(const Parser& p, uint32_t pos) {
  return SkipWhitespace(p.cur.text, pos, p.cur.size);
}

// Whether the escape at `p`, checked and sized as `escape`, is \u0000.
bool IsNulEscape(const char* p, json_text::EscapeSize escape) {
  constexpr char NUL_ESCAPE[] = "\\u0000";
  return escape.taken == sizeof NUL_ESCAPE - 1 && std::memcmp(p, NUL_ESCAPE, escape.taken) == 0;
}

// Finds the closing quote of the string whose opening quote is at `open`
// from `i` on, escapes and all, adding to *saved (out) the bytes its escapes
// save. Fails at a bad escape (with JSON_PARSE_REFUSE_NUL_ESCAPE also at
// \u0000), or at the terminator of an unterminated string.
uint32_t FindClosingQuote(Parser& p, uint32_t open, uint32_t i, uint32_t* saved) {
  const char* text = p.cur.text;
  uint32_t end = p.cur.size - 1;
  for (;;) {
    i = json_text::FindQuoteOrBackslash(text, i, end);
    if (i == end) return Fail(p, end, JsonErrorCause::UNTERMINATED_STRING, open);
    if (text[i] == '"') return i;
    json_text::EscapeSize escape = json_text::SizeEscape(text + i);
    if (escape.taken == 0) return Fail(p, i, JsonErrorCause::BAD_ESCAPE);
    if (i + escape.taken > end) return Fail(p, end, JsonErrorCause::UNTERMINATED_STRING, open);
    if ((p.options & JSON_PARSE_REFUSE_NUL_ESCAPE) != 0 && IsNulEscape(text + i, escape)) {
      return Fail(p, i, JsonErrorCause::NUL_ESCAPE);
    }
    *saved += escape.taken - escape.decoded;
    i += escape.taken;
  }
}

// Scans the string whose opening quote is at `pos` into *span (out); the
// caller has seen the quote.
inline uint32_t ScanString(Parser& p, uint32_t pos, TextSpan* span) {
  uint32_t start = pos + 1;
  uint32_t saved = 0;  // source bytes that escapes save in the decoded text
  // Most strings hold no escape: their first quote or backslash is the
  // closing quote.
  uint32_t quote = json_text::FindQuoteOrBackslash(p.cur.text, start, p.cur.size - 1);
  if (p.cur.text[quote] != '"') {
    quote = FindClosingQuote(p, pos, quote, &saved);
    if (quote == FAILED) return FAILED;
  }
  *span = TextSpan{start, quote - start, quote - start - saved + 1};
  return quote + 1;
}

// Records a value's tag, its key span for a member and its text span for a
// string, making room for the whole record.
inline bool RecordValue(Parser& p, uint8_t tag, const TextSpan* key, const TextSpan* text) {
  Tape& tape = p.state->tape;
  if (!TapeReserve(tape, MAX_TAPE_RECORD)) return false;
  if (key != nullptr) tag |= TAPE_MEMBER;
  if (key != nullptr && key->Escaped()) tag |= TAPE_KEY_ESCAPED;
  if (text != nullptr && text->Escaped()) tag |= TAPE_TEXT_ESCAPED;
  uint8_t* out = tape.data + tape.used;
  uint32_t mark = p.mark;
  *out++ = tag;
  if (key != nullptr) out = PutSpan(out, &mark, *key);
  if (text != nullptr) out = PutSpan(out, &mark, *text);
  p.mark = mark;
  tape.used = static_cast<uint32_t>(out - tape.data);
  return true;
}

uint32_t MeasureValue(Parser& p, uint32_t pos, const TextSpan* key);

// MeasureValue, with the strings that most values are measured in place,
// and containers without a call in between.
inline uint32_t MeasureAnyValue(Parser& p, uint32_t pos, const TextSpan* key);
uint32_t MeasureContainer(Parser& p, uint32_t pos, uint8_t kind, const TextSpan* key);

inline uint32_t MeasureString(Parser& p, uint32_t pos, const TextSpan* key) {
  TextSpan text;
  uint32_t next = ScanString(p, pos, &text);
  if (next == FAILED) return FAILED;
  if (!RecordValue(p, JSON_STRING, key, &text)) return Fail(p, pos, JsonErrorCause::OUT_OF_MEMORY);
  p.state->strings++;
  p.state->stringBytes += text.decodedSize;
  return next;
}

uint32_t MeasureLiteral(Parser& p, uint32_t pos, const TextSpan* key) {
  static constexpr struct {
    const char* word;
    uint32_t length;
    uint8_t kind;
  } LITERALS[] = {{"null", 4, JSON_NULL}, {"true", 4, JSON_TRUE}, {"false", 5, JSON_FALSE}};
  for (const auto& literal : LITERALS) {
    if (p.cur.text[pos] != literal.word[0]) continue;
    if (p.cur.size - pos < literal.length ||
        std::memcmp(p.cur.text + pos, literal.word, literal.length) != 0) {
      return Fail(p, pos, JsonErrorCause::BAD_LITERAL);
    }
    if (!RecordValue(p, literal.kind, key, nullptr)) {
      return Fail(p, pos, JsonErrorCause::OUT_OF_MEMORY);
    }
    uint32_t* counts[] = {&p.state->nulls, &p.state->trues, &p.state->falses};
    ++*counts[literal.kind];
    return pos + literal.length;
  }
  return Fail(p, pos, JsonErrorCause::BAD_LITERAL);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A number is a double when its leading digit run (after an optional minus)
// is followed by '.', 'e' or 'E'.
bool LooksLikeDouble(const char* p) {
  if (*p == '-') ++p;
  if (!IsDigit(*p)) return false;
  while (IsDigit(*p)) ++p;
  return *p == '.' || *p == 'e' || *p == 'E';
}

// Converts with strtod or strtoll (base 0: 0x1F and 010 too). The build pass
// takes only the value from the tape, so a number text of any length replays
// exactly.
uint32_t MeasureNumber(Parser& p, uint32_t pos, const TextSpan* key) {
  const char* start = p.cur.text + pos;
  bool isDouble = LooksLikeDouble(start);
  char* end = nullptr;
  uint64_t bits;
  int savedErrno = errno;
  errno = 0;
  if (isDouble) {
    double value = std::strtod(start, &end);
    std::memcpy(&bits, &value, sizeof(bits));
  } else {
    bits = static_cast<uint64_t>(std::strtoll(start, &end, 0));
  }
  bool rangeError = errno != 0;
  errno = savedErrno;
  uint8_t tag = isDouble ? JSON_NUMBER | TAPE_DOUBLE : JSON_NUMBER;
  if (rangeError) return Fail(p, pos, JsonErrorCause::NUMBER_OUT_OF_RANGE);
  if (!RecordValue(p, tag, key, nullptr)) return Fail(p, pos, JsonErrorCause::OUT_OF_MEMORY);
  p.state->numbers++;
  std::memcpy(p.state->tape.data + p.state->tape.used, &bits, sizeof(bits));
  p.state->tape.used += sizeof(bits);
  p.numberStart = pos;
  p.numberEnd = pos + static_cast<uint32_t>(end - start);
  return p.numberEnd;
}

// Measures a member: its key, the colon and its value.
inline uint32_t MeasureMember(Parser& p, uint32_t pos) {
  if (pos >= p.cur.size) return Fail(p, pos, JsonErrorCause::UNEXPECTED_END);
  if (p.cur.text[pos] != '"') return Fail(p, pos, JsonErrorCause::EXPECTED_KEY);
  TextSpan key;
  uint32_t next = ScanString(p, pos, &key);
  if (next == FAILED) return FAILED;
  if (key.rawLength > JSON_MAX_KEY_RAW_LENGTH || key.decodedSize > JSON_MAX_KEY_SIZE) {
    return Fail(p, pos, JsonErrorCause::KEY_TOO_LONG);
  }
  next = SkipSpace(p, next);
  if (next >= p.cur.size) return Fail(p, next, JsonErrorCause::UNEXPECTED_END);
  if (p.cur.text[next] != ':') return Fail(p, next, JsonErrorCause::EXPECTED_COLON);
  p.state->keyBytes += key.decodedSize + KEY_HASH_SIZE;
  return MeasureAnyValue(p, SkipSpace(p, next + 1), &key);
}

uint32_t MeasureContainer(Parser& p, uint32_t pos, uint8_t kind, const TextSpan* key) {
  if (p.cur.depth > JSON_MAX_DEPTH) return Fail(p, pos, JsonErrorCause::TOO_DEEP);
  pos = SkipSpace(p, pos + 1);
  if (pos >= p.cur.size) return Fail(p, pos, JsonErrorCause::UNEXPECTED_END);
  if (!RecordValue(p, kind, key, nullptr)) return Fail(p, pos, JsonErrorCause::OUT_OF_MEMORY);
  bool isObject = kind == JSON_OBJECT;
  ++(isObject ? p.state->objects : p.state->arrays);
  char close = isObject ? '}' : ']';
  JsonErrorCause expectedSeparator = isObject ? JsonErrorCause::EXPECTED_COMMA_OR_BRACE
                                              : JsonErrorCause::EXPECTED_COMMA_OR_BRACKET;
  if (p.cur.text[pos] != close) {
    ++p.cur.depth;
    uint32_t comma = 0;  // the last comma met
    for (;;) {
      pos = SkipSpace(p, pos);
      // Every turn but the first follows a comma.
      if (pos < p.cur.size && p.cur.text[pos] == close) {
        return Fail(p, pos, JsonErrorCause::TRAILING_COMMA, comma);
      }
      pos = isObject ? MeasureMember(p, pos) : MeasureAnyValue(p, pos, nullptr);
      if (pos == FAILED) return FAILED;
      pos = SkipSpace(p, pos);
      if (pos >= p.cur.size) return Fail(p, pos, expectedSeparator);
      if (p.cur.text[pos] != ',') break;
      comma = pos++;
    }
    if (p.cur.text[pos] != close) return Fail(p, pos, expectedSeparator);
    --p.cur.depth;
  }
  if (!TapeReserve(p.state->tape, 1)) return Fail(p, pos, JsonErrorCause::OUT_OF_MEMORY);
  p.state->tape.data[p.state->tape.used++] = TAPE_END;
  return pos + 1;
}

uint32_t MeasureValue(Parser& p, uint32_t pos, const TextSpan* key) {
  if (pos >= p.cur.size) return Fail(p, pos, JsonErrorCause::UNEXPECTED_END);
  char first = p.cur.text[pos];
  // Policies are mostly strings: test for them before the jump table.
  if (first == '"') return MeasureString(p, pos, key);
  switch (first) {
    case '{':
      return MeasureContainer(p, pos, JSON_OBJECT, key);
    case '[':
      return MeasureContainer(p, pos, JSON_ARRAY, key);
    case 'f':
    case 'n':
    case 't':
      return MeasureLiteral(p, pos, key);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return MeasureNumber(p, pos, key);
    case ']':
    case '}':
      return Fail(p, pos, JsonErrorCause::MISSING_VALUE);
    default:
      return Fail(p, pos, JsonErrorCause::UNEXPECTED_CHARACTER);
  }
}

inline uint32_t MeasureAnyValue(Parser& p, uint32_t pos, const TextSpan* key) {
  if (pos < p.cur.size) {
    switch (p.cur.text[pos]) {
      case '"':
        return MeasureString(p, pos, key);
      case '{':
        return MeasureContainer(p, pos, JSON_OBJECT, key);
      case '[':
        return MeasureContainer(p, pos, JSON_ARRAY, key);
      default:
        break;
    }
  }
  return MeasureValue(p, pos, key);
}

bool PrepareTape(Parser& p) {
  Tape& tape = p.state->tape;
  if (p.cur.size < TEXT_BLOCK) {
    tape.data = tape.inlineBuffer;
    tape.capacity = INLINE_TAPE_SIZE;
    return true;
  }
  tape.capacity = p.cur.size / TEXT_BLOCK * TAPE_BYTES_PER_BLOCK + INLINE_TAPE_SIZE;
  tape.data = static_cast<uint8_t*>(Alloc(tape.capacity));
  return tape.data != nullptr;
}

// Allocates the arena: every node, key and text of the document, exactly.
bool AllocateArena(Parser& p) {
  ParseState& s = *p.state;
  uint64_t size = uint64_t{json_node::OBJECT_NODE_SIZE} * s.objects +
                  uint64_t{json_node::ARRAY_NODE_SIZE} * s.arrays +
                  uint64_t{json_node::VALUE_NODE_SIZE} * (uint64_t{s.numbers} + s.strings) +
                  uint64_t{json_node::SCALAR_NODE_SIZE} * (uint64_t{s.nulls} + s.trues + s.falses) +
                  s.keyBytes + s.stringBytes;
  if (size > UINT32_MAX) {
    Fail(p, p.cur.pos, JsonErrorCause::TOO_LARGE);
    return false;
  }
  s.arenaCursor = static_cast<uint8_t*>(Alloc(static_cast<uint32_t>(size)));
  if (s.arenaCursor == nullptr) {
    Fail(p, p.cur.pos, JsonErrorCause::OUT_OF_MEMORY);
    return false;
  }
  p.arenaEnd = s.arenaCursor + size;
  return true;
}

// Leaves the cursor after the root value (or where the text failed).
bool MeasurePass(Parser& p) {
  p.cur.pos = SkipSpace(p, 0);
  if (!PrepareTape(p)) {
    Fail(p, p.cur.pos, JsonErrorCause::OUT_OF_MEMORY);
    return false;
  }
  p.cur.depth = 1;
  uint32_t end = MeasureValue(p, p.cur.pos, nullptr);
  if (end != FAILED) {
    p.cur.pos = end;
    if (AllocateArena(p)) return true;
  }
  TapeRelease(p.state->tape);
  return false;
}

// ---- Build pass ----

inline JsonValue* TakeNode(ParseState& s, uint8_t kind, uint32_t keySpace) {
  auto* node = reinterpret_cast<JsonValue*>(s.arenaCursor);
  s.arenaCursor += json_node::NodeSize(kind) + keySpace;
  return node;
}

// Decodes `span` into `out`; on a bad escape the cursor marks it.
inline bool DecodeSpan(Parser& p, const TextSpan& span, char* out) {
  // Most texts are plain: copy them in fixed-size blocks when both the
  // source and the arena have room for the last one. The bytes past the
  // text land where later nodes and texts go: the arena is filled in
  // address order, so they are overwritten in turn.
  constexpr uint32_t BLOCK = 16;
  const uint32_t copied = (span.rawLength + BLOCK) & ~(BLOCK - 1);  // blocks to hold the text
  if (!span.Escaped() && p.cur.size - span.start >= copied &&
      p.arenaEnd - reinterpret_cast<uint8_t*>(out) >= copied) {
    for (uint32_t offset = 0; offset < copied; offset += BLOCK) {
      std::memcpy(out + offset, p.cur.text + span.start + offset, BLOCK);
    }
    out[span.rawLength] = '\0';
    return true;
  }
  const char* badEscape = nullptr;
  if (json_text::DecodeText(p.cur.text + span.start, span.rawLength, out, span.decodedSize,
                            &badEscape)) {
    return true;
  }
  Fail(p, static_cast<uint32_t>(badEscape - p.cur.text), JsonErrorCause::BAD_ESCAPE);
  return false;
}

bool BuildValue(Parser& p, JsonValue* node, uint8_t tag);

// The string case of BuildValue, built in place by the container loop.
inline bool BuildString(Parser& p, JsonValue* node, uint8_t tag) {
  node->tag = (tag & NODE_TAG_BITS) | JSON_FLAG_ARENA | JSON_FLAG_ARENA_TEXT;
  TextSpan text;
  GetSpan(p, (tag & TAPE_TEXT_ESCAPED) != 0, &text);
  node->text = reinterpret_cast<char*>(p.state->arenaCursor);
  p.state->arenaCursor += text.decodedSize;
  return DecodeSpan(p, text, node->text);
}

// Takes the node of a member, with room for its key, and decodes and hashes
// the key. Null on a bad escape.
JsonValue* TakeMember(Parser& p, uint8_t tag) {
  TextSpan key;
  GetSpan(p, (tag & TAPE_KEY_ESCAPED) != 0, &key);
  uint8_t kind = tag & JSON_KIND_MASK;
  JsonValue* member = TakeNode(*p.state, kind, KEY_HASH_SIZE + key.decodedSize);
  uint8_t* keyArea = reinterpret_cast<uint8_t*>(member) + json_node::NodeSize(kind);
  char* keyText = reinterpret_cast<char*>(keyArea + KEY_HASH_SIZE);
  if (!DecodeSpan(p, key, keyText)) return nullptr;
  // A plain key is hashed from the source, which is its text exactly; this
  // does not wait for the copy just stored. An escaped one may hold \u0000,
  // which ends it early.
  uint32_t hash = key.Escaped() ? JsonKeyHash(keyText, static_cast<uint32_t>(std::strlen(keyText)))
                                : JsonKeyHash(p.cur.text + key.start, key.rawLength);
  std::memcpy(keyArea, &hash, sizeof(hash));
  return member;
}

// Builds the children up to the container's end record, linking them in
// document order.
bool BuildContainer(Parser& p, JsonValue* node) {
  JsonValue* head = json_node::ListHead(node);
  JsonValue* first = nullptr;
  JsonValue* last = head;
  uint32_t count = 0;
  for (uint8_t tag = *p.in++; tag != TAPE_END; tag = *p.in++) {
    JsonValue* child =
        (tag & TAPE_MEMBER) != 0 ? TakeMember(p, tag) : TakeNode(*p.state, tag & JSON_KIND_MASK, 0);
    if (child == nullptr) return false;
    child->prev = last;
    if (last == head) {
      first = child;
    } else {
      last->next = child;
    }
    last = child;
    ++count;
    const bool built = (tag & JSON_KIND_MASK) == JSON_STRING ? BuildString(p, child, tag)
                                                             : BuildValue(p, child, tag);
    if (!built) return false;
  }
  if (count == 0) {
    last = nullptr;
  } else {
    last->next = nullptr;
  }
  if (json_node::KindOf(node) == JSON_ARRAY) {
    node->array = JsonArrayList{count, 0, first, last, first};
  } else {
    node->object = JsonObjectList{last, first};
  }
  return true;
}

bool BuildValue(Parser& p, JsonValue* node, uint8_t tag) {
  node->tag = (tag & NODE_TAG_BITS) | JSON_FLAG_ARENA;
  switch (tag & JSON_KIND_MASK) {
    case JSON_NUMBER:
      std::memcpy(&node->integer, p.in, sizeof(int64_t));
      p.in += sizeof(int64_t);
      return true;
    case JSON_STRING:
      return BuildString(p, node, tag);
    case JSON_ARRAY:
    case JSON_OBJECT:
      return BuildContainer(p, node);
    default:
      return true;
  }
}

// Builds the tree from the tape; the cursor is left where the measure pass
// ended, after the root, unless a bad escape is found.
bool BuildPass(Parser& p, JsonValue** root) {
  p.mark = 0;
  p.in = p.state->tape.data;
  uint8_t tag = *p.in++;
  JsonValue* node = TakeNode(*p.state, tag & JSON_KIND_MASK, 0);
  node->prev = nullptr;
  node->next = nullptr;
  *root = node;
  bool built = BuildValue(p, node, tag);
  TapeRelease(p.state->tape);
  return built;
}

bool CanContinueNumber(char c) {
  return IsDigit(c) || c == '.' || c == '+' || c == '-' || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

void RecordError(const Parser& p) {
  const DocCursor& cur = p.cur;
  const uint32_t length = cur.size - 1;
  g_errorText = cur.text;
  g_errorOffset = cur.pos < length ? cur.pos : length;
  g_error = {p.cause, p.place < length ? p.place : length};
  // "-", "08", "1.5.3": the conversion took less than the author wrote.
  if (cur.pos == p.numberEnd && cur.pos < length && CanContinueNumber(cur.text[cur.pos]) &&
      p.cause != JsonErrorCause::TRAILING_COMMA) {
    g_error = {JsonErrorCause::INVALID_NUMBER, p.numberStart};
  }
}

}  // namespace

uint32_t JsonNodeSize(uint8_t kind) { return json_node::NodeSize(kind); }

int JsonInitHooks(const JsonHooks* hooks) {
  if (hooks == nullptr || hooks->allocFunc == nullptr || hooks->freeFunc == nullptr) {
    return JSON_FAIL;
  }
  g_hooks = *hooks;
  return JSON_OK;
}

void JsonFree(void* ptr) {
  if (ptr != nullptr) g_hooks.freeFunc(ptr);
}

int JsonParse(const char* text, JsonValue** root) {
  return text == nullptr ? JSON_FAIL : JsonParseWithOptions(text, std::strlen(text), root, 0);
}

int JsonParseWithOptions(const char* text, size_t length, JsonValue** root, uint32_t options) {
  if (text == nullptr || root == nullptr) return JSON_FAIL;
  if (length > JSON_MAX_TEXT_LENGTH) return JSON_FAIL;
  Parser p{{text, static_cast<uint32_t>(length + 1), 0, 0},
           options,
           nullptr,
           0,
           nullptr,
           nullptr,
           JsonErrorCause::NONE,
           0,
           0,
           UINT32_MAX};
  p.state = static_cast<ParseState*>(Alloc(sizeof(ParseState)));
  if (p.state == nullptr) return JSON_FAIL;
  if (bounded::memset_s(p.state, sizeof(ParseState), 0, sizeof(ParseState)) != 0) {
    JsonFree(p.state);
    return JSON_FAIL;
  }
  g_errorText = nullptr;
  g_errorOffset = 0;
  g_error = {JsonErrorCause::NONE, 0};
  int result = JSON_FAIL;
  if (!MeasurePass(p)) {
    RecordError(p);
  } else {
    void* arena = p.state->arenaCursor;
    if (BuildPass(p, root)) {
      uint32_t end = SkipSpace(p, p.cur.pos);
      if (end >= p.cur.size) {
        result = JSON_OK;
      } else {
        Fail(p, end, JsonErrorCause::TEXT_AFTER_VALUE);
      }
    }
    if (result != JSON_OK) {
      JsonFree(arena);
      *root = nullptr;
      RecordError(p);
    }
  }
  JsonFree(p.state);
  return result;
}

void JsonDelete(JsonValue* value) {
  // Every node belongs to a document arena, and the root is the arena's first
  // byte: deleting a root releases the whole document, deleting any other node
  // releases nothing.
  if (value != nullptr && value->prev == nullptr && value->next == nullptr) JsonFree(value);
}

const char* JsonGetErrorPointer() {
  return g_errorText == nullptr ? nullptr : g_errorText + g_errorOffset;
}

uint32_t JsonGetErrorPosition() { return g_errorOffset + 1; }

JsonError JsonGetError() { return g_error; }

const char* JsonErrorMessage(JsonErrorCause cause) {
  switch (cause) {
    case JsonErrorCause::NONE:
      return "no error";
    case JsonErrorCause::UNEXPECTED_END:
      return "unexpected end of text";
    case JsonErrorCause::UNEXPECTED_CHARACTER:
      return "unexpected character";
    case JsonErrorCause::MISSING_VALUE:
      return "expected a value";
    case JsonErrorCause::BAD_LITERAL:
      return "invalid literal; expected true, false or null";
    case JsonErrorCause::EXPECTED_COMMA_OR_BRACKET:
      return "expected ',' or ']'";
    case JsonErrorCause::EXPECTED_COMMA_OR_BRACE:
      return "expected ',' or '}'";
    case JsonErrorCause::EXPECTED_COLON:
      return "expected ':'";
    case JsonErrorCause::EXPECTED_KEY:
      return "expected a string key";
    case JsonErrorCause::TRAILING_COMMA:
      return "trailing comma";
    case JsonErrorCause::UNTERMINATED_STRING:
      return "unterminated string";
    case JsonErrorCause::BAD_ESCAPE:
      return "invalid escape sequence";
    case JsonErrorCause::NUL_ESCAPE:
      return "\\u0000 is not allowed";
    case JsonErrorCause::INVALID_NUMBER:
      return "invalid number";
    case JsonErrorCause::NUMBER_OUT_OF_RANGE:
      return "number out of range";
    case JsonErrorCause::KEY_TOO_LONG:
      return "key longer than 47 bytes";
    case JsonErrorCause::TOO_DEEP:
      return "nesting deeper than 256 levels";
    case JsonErrorCause::TEXT_AFTER_VALUE:
      return "text after the value";
    case JsonErrorCause::TOO_LARGE:
      return "document too large";
    case JsonErrorCause::OUT_OF_MEMORY:
      return "out of memory";
  }
  return "unknown error";
}
