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
//
// Deferred building (JSON_PARSE_DEFER): the measure pass notes each
// container whose children take deferBytes of the arena or more (Deferred:
// where its children lie on the tape, in the text and in the arena) and
// marks its record TAPE_DEFERRED. The build pass lays its node and skips its
// children, leaving their place in the arena unbuilt; the document keeps
// the tape and these notes (DeferredDocument, in front of the root) to
// build the children a window at a time when they are walked.
#include "json/json.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

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
constexpr uint8_t TAPE_TEXT_ESCAPED = 0x40;  // strings
constexpr uint8_t TAPE_DEFERRED = 0x40;      // containers
constexpr uint8_t TAPE_MEMBER = JSON_FLAG_KEY;
constexpr uint8_t TAPE_END = JSON_KIND_MASK;  // no kind has this code
// The tape flags a node keeps.
constexpr uint8_t NODE_TAG_BITS = JSON_KIND_MASK | JSON_FLAG_DOUBLE | JSON_FLAG_KEY;
// On a container root: the document is deferred, and its DeferredDocument
// stands in front of the root.
constexpr uint8_t DOCUMENT_FLAG = JSON_FLAG_DOUBLE;

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

// The children of a container as they are linked.
struct ChildList {
  JsonValue* head;   // the container's list head
  JsonValue* first;  // null while there is none
  JsonValue* last;   // `head` while there is none
  uint32_t count;
};

struct DeferredDocument;

// A container built a window at a time.
struct Deferred {
  // From the measure pass: where its children lie.
  uint32_t tapeStart;   // the first child's record
  uint32_t tapeEnd;     // after the container's TAPE_END
  uint32_t markStart;   // the mark before its first child's spans
  uint32_t markEnd;     // and after its last child's
  uint32_t arenaStart;  // arena offset of its first child (from the root)
  uint32_t arenaEnd;    // after its last child's bytes
  uint32_t count;       // children
  // From the build: the container, and how far its children are built.
  DeferredDocument* document;
  JsonValue* container;
  ChildList children;
  uint32_t tapeAt;    // the next window's first record
  uint32_t markAt;    // the mark there
  uint32_t arenaAt;   // the next window's first child
  uint32_t released;  // arena offset below which its pages went back
  uint32_t filled;    // arena offset below which pages moved in ahead of the build
  bool started;       // its node is built
  bool finished;      // all its children are built, or none will be
};

// The most containers a document defers; bigger containers past these are
// built whole.
constexpr uint32_t MAX_DEFERRED = 32;

struct ParseState {
  uint64_t arenaBytes;  // of the nodes, keys and texts measured so far
  uint32_t deferredCount;
  Deferred deferred[MAX_DEFERRED];  // as measured: a container after its children
  Tape tape;
};

// What a deferred document keeps to build the rest of its tree, in front of
// its root. The text belongs to the caller, the tape to the document.
struct DeferredDocument {
  const char* text;
  uint32_t size;  // of the text, with its terminator
  uint32_t options;
  uint32_t deferBytes;
  uint8_t* tape;
  uint32_t tapeSize;  // bytes on the tape
  uint8_t* arena;     // its root, from which arena offsets count
  uint8_t* arenaEnd;
  uint32_t textReleased;  // bytes of the text, from its start, given back
  uint32_t tapeReleased;  // and of the tape
  bool movesPages;        // its arena is a block of AllocateBlock (MovePages)
  uint32_t count;
  Deferred deferred[MAX_DEFERRED];  // by tapeStart
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
  uint32_t deferBytes;
  ParseState* state;
  uint32_t mark;         // see the tape description above
  const uint8_t* in;     // build pass: next tape byte to read
  uint8_t* arenaCursor;  // build pass: next free byte of the arena
  uint8_t* arenaEnd;     // end of the arena
  DeferredDocument* document;  // null unless building is deferred
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
    // Deferred building must not fail later: it needs every escape known.
    if (escape.taken == 0 ||
        ((p.options & JSON_PARSE_DEFER) != 0 && !json_text::IsKnownEscape(text + i))) {
      return Fail(p, i, JsonErrorCause::BAD_ESCAPE);
    }
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
// string, making room for the whole record, and counts its bytes of the
// arena.
inline bool RecordValue(Parser& p, uint8_t tag, const TextSpan* key, const TextSpan* text) {
  Tape& tape = p.state->tape;
  if (!TapeReserve(tape, MAX_TAPE_RECORD)) return false;
  p.state->arenaBytes += json_node::NodeSize(tag & JSON_KIND_MASK) +
                         (key == nullptr ? 0 : KEY_HASH_SIZE + key->decodedSize) +
                         (text == nullptr ? 0 : text->decodedSize);
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
  return MeasureAnyValue(p, SkipSpace(p, next + 1), &key);
}

// Notes the container measured from the record at `record`, whose children
// start as `children` says, for deferred building when they take enough of
// the arena.
void NoteDeferred(Parser& p, uint32_t record, const Deferred& children) {
  ParseState& s = *p.state;
  if (s.arenaBytes - children.arenaStart < p.deferBytes || s.deferredCount == MAX_DEFERRED) return;
  Deferred& deferred = s.deferred[s.deferredCount++];
  deferred = children;
  deferred.tapeEnd = s.tape.used;
  deferred.markEnd = p.mark;
  deferred.arenaEnd = static_cast<uint32_t>(s.arenaBytes);  // the arena fits 32 bits, or is refused
  s.tape.data[record] |= TAPE_DEFERRED;
}

uint32_t MeasureContainer(Parser& p, uint32_t pos, uint8_t kind, const TextSpan* key) {
  if (p.cur.depth > JSON_MAX_DEPTH) return Fail(p, pos, JsonErrorCause::TOO_DEEP);
  pos = SkipSpace(p, pos + 1);
  if (pos >= p.cur.size) return Fail(p, pos, JsonErrorCause::UNEXPECTED_END);
  const uint32_t record = p.state->tape.used;
  if (!RecordValue(p, kind, key, nullptr)) return Fail(p, pos, JsonErrorCause::OUT_OF_MEMORY);
  const uint32_t tapeStart = p.state->tape.used;
  const uint32_t markStart = p.mark;
  const uint64_t arenaStart = p.state->arenaBytes;
  uint32_t count = 0;
  bool isObject = kind == JSON_OBJECT;
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
      ++count;
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
  if ((p.options & JSON_PARSE_DEFER) != 0) {
    Deferred children{};
    children.tapeStart = tapeStart;
    children.markStart = markStart;
    children.arenaStart = static_cast<uint32_t>(arenaStart);
    children.count = count;
    NoteDeferred(p, record, children);
  }
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
  // A deferred document keeps its tape, which the parse state cannot hold.
  if (p.cur.size < TEXT_BLOCK && (p.options & JSON_PARSE_DEFER) == 0) {
    tape.data = tape.inlineBuffer;
    tape.capacity = INLINE_TAPE_SIZE;
    return true;
  }
  tape.capacity = p.cur.size / TEXT_BLOCK * TAPE_BYTES_PER_BLOCK + INLINE_TAPE_SIZE;
  tape.data = static_cast<uint8_t*>(Alloc(tape.capacity));
  return tape.data != nullptr;
}

// The state of the deferred document whose arena block is `block`, made
// from the measure pass.
DeferredDocument* StartDocument(const Parser& p, uint8_t* block) {
  const ParseState& s = *p.state;
  auto* document = new (block) DeferredDocument{};
  document->text = p.cur.text;
  document->size = p.cur.size;
  document->options = p.options;
  document->deferBytes = p.deferBytes;
  document->tape = s.tape.data;
  document->tapeSize = s.tape.used;
  document->arena = block + sizeof(DeferredDocument);
  document->arenaEnd = block + sizeof(DeferredDocument) + s.arenaBytes;
  document->count = s.deferredCount;
  document->movesPages = g_hooks.allocFunc == DefaultAlloc;
  std::copy(s.deferred, s.deferred + s.deferredCount, document->deferred);
  std::sort(document->deferred, document->deferred + document->count,
            [](const Deferred& a, const Deferred& b) { return a.tapeStart < b.tapeStart; });
  return document;
}

// Allocates the arena: every node, key and text of the document, exactly,
// after the state of a deferred document.
bool AllocateArena(Parser& p) {
  ParseState& s = *p.state;
  const size_t front = s.deferredCount == 0 ? 0 : sizeof(DeferredDocument);
  const uint64_t size = s.arenaBytes + front;
  if (size > UINT32_MAX) {
    Fail(p, p.cur.pos, JsonErrorCause::TOO_LARGE);
    return false;
  }
  auto* block = static_cast<uint8_t*>(Alloc(static_cast<uint32_t>(size)));
  if (block == nullptr) {
    Fail(p, p.cur.pos, JsonErrorCause::OUT_OF_MEMORY);
    return false;
  }
  p.arenaCursor = block + front;
  p.arenaEnd = block + size;
  if (front != 0) p.document = StartDocument(p, block);
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

inline JsonValue* TakeNode(Parser& p, uint8_t kind, uint32_t keySpace) {
  auto* node = reinterpret_cast<JsonValue*>(p.arenaCursor);
  p.arenaCursor += json_node::NodeSize(kind) + keySpace;
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
  node->text = reinterpret_cast<char*>(p.arenaCursor);
  p.arenaCursor += text.decodedSize;
  return DecodeSpan(p, text, node->text);
}

// Takes the node of a member, with room for its key, and decodes and hashes
// the key. Null on a bad escape.
inline JsonValue* TakeMember(Parser& p, uint8_t tag) {
  TextSpan key;
  GetSpan(p, (tag & TAPE_KEY_ESCAPED) != 0, &key);
  uint8_t kind = tag & JSON_KIND_MASK;
  JsonValue* member = TakeNode(p, kind, KEY_HASH_SIZE + key.decodedSize);
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

enum class Built : uint8_t {
  ALL,     // up to the container's end record
  WINDOW,  // up to the end of a window
  FAILED,  // a bad escape
};

// Builds children from the tape and links them into `children`, in
// document order, up to the container's end record; stops after the first
// child that ends past `windowEnd`, unless it is the last.
[[gnu::always_inline]] inline Built BuildChildren(Parser& p, ChildList& children,
                                                 const uint8_t* windowEnd) {
  for (uint8_t tag = *p.in++; tag != TAPE_END; tag = *p.in++) {
    JsonValue* child =
        (tag & TAPE_MEMBER) != 0 ? TakeMember(p, tag) : TakeNode(p, tag & JSON_KIND_MASK, 0);
    if (child == nullptr) return Built::FAILED;
    child->prev = children.last;
    if (children.last == children.head) {
      children.first = child;
    } else {
      children.last->next = child;
    }
    children.last = child;
    ++children.count;
    const bool built = (tag & JSON_KIND_MASK) == JSON_STRING ? BuildString(p, child, tag)
                                                             : BuildValue(p, child, tag);
    if (!built) return Built::FAILED;
    if (p.arenaCursor > windowEnd && *p.in != TAPE_END) return Built::WINDOW;
  }
  return Built::ALL;
}

// Ends the list of `container` with its last child.
void FinishChildren(JsonValue* container, const ChildList& children) {
  JsonValue* last = children.count == 0 ? nullptr : children.last;
  if (last != nullptr) last->next = nullptr;
  if (json_node::KindOf(container) == JSON_ARRAY) {
    container->array = JsonArrayList{children.count, 0, children.first, last, children.first};
  } else {
    container->object = JsonObjectList{last, children.first};
  }
}

bool BuildContainer(Parser& p, JsonValue* node) {
  JsonValue* head = json_node::ListHead(node);
  ChildList children{head, nullptr, head, 0};
  if (BuildChildren(p, children, p.arenaEnd) == Built::FAILED) return false;
  FinishChildren(node, children);
  return true;
}

// Leaves the place of the child at `home` unbuilt, to be built by
// `deferred`.
void MarkUnbuilt(uint8_t* home, Deferred* deferred) {
  std::memcpy(home, &deferred, sizeof(deferred));
  reinterpret_cast<JsonValue*>(home)->tag = JSON_UNBUILT_TAG;
}

// Lays the deferred container `node`, whose children come next on the tape,
// and leaves its children unbuilt.
void DeferContainer(Parser& p, JsonValue* node) {
  DeferredDocument& document = *p.document;
  const auto tapeStart = static_cast<uint32_t>(p.in - document.tape);
  Deferred* const end = document.deferred + document.count;
  Deferred& deferred = *std::lower_bound(
      document.deferred, end, tapeStart,
      [](const Deferred& entry, uint32_t start) { return entry.tapeStart < start; });
  JsonValue* head = json_node::ListHead(node);
  deferred.document = &document;
  deferred.container = node;
  deferred.children = ChildList{head, nullptr, head, 0};
  deferred.tapeAt = deferred.tapeStart;
  deferred.markAt = deferred.markStart;
  deferred.arenaAt = deferred.arenaStart;
  deferred.released = deferred.arenaStart;
  deferred.filled = deferred.arenaStart;
  deferred.started = true;
  uint8_t* home = document.arena + deferred.arenaStart;
  MarkUnbuilt(home, &deferred);
  // No last child yet: the container is known to be incomplete.
  auto* first = reinterpret_cast<JsonValue*>(home);
  if (json_node::KindOf(node) == JSON_ARRAY) {
    node->array = JsonArrayList{deferred.count, 0, first, nullptr, first};
  } else {
    node->object = JsonObjectList{nullptr, first};
  }
  p.in = document.tape + deferred.tapeEnd;
  p.mark = deferred.markEnd;
  p.arenaCursor = document.arena + deferred.arenaEnd;
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
      if ((tag & TAPE_DEFERRED) != 0 && p.document != nullptr) {
        DeferContainer(p, node);
        return true;
      }
      return BuildContainer(p, node);
    default:
      return true;
  }
}

// Builds the tree from the tape; the cursor is left where the measure pass
// ended, after the root, unless a bad escape is found. A deferred document
// keeps the tape.
bool BuildPass(Parser& p, JsonValue** root) {
  p.mark = 0;
  p.in = p.state->tape.data;
  uint8_t tag = *p.in++;
  JsonValue* node = TakeNode(p, tag & JSON_KIND_MASK, 0);
  node->prev = nullptr;
  node->next = nullptr;
  *root = node;
  bool built = BuildValue(p, node, tag);
  if (p.document != nullptr) {
    node->tag |= DOCUMENT_FLAG;
  } else {
    TapeRelease(p.state->tape);
  }
  return built;
}

// ---- Deferred building ----

uint8_t* HugePageFloor(uint8_t* p) {
  return reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(p) & ~(HUGE_PAGE_SIZE - 1));
}
uint8_t* HugePageCeil(uint8_t* p) { return HugePageFloor(p + HUGE_PAGE_SIZE - 1); }

// Gives back the arena of `deferred` below `to`; while its children are
// still being built, in whole huge pages, which move ahead of the build:
// there they spare it fresh pages, which the system would clear.
void ReleaseArena(DeferredDocument& document, Deferred& deferred, uint8_t* to, bool finished) {
  uint8_t* const arena = document.arena;
  uint8_t* const from = arena + deferred.released;
  if (!finished) to = HugePageFloor(to);
  if (to <= from) return;
  deferred.released = static_cast<uint32_t>(to - arena);
  uint8_t* page = std::min(HugePageCeil(from), to);
  DiscardPages(from, page);
  uint8_t* ahead = std::max(HugePageCeil(arena + deferred.arenaAt), arena + deferred.filled);
  uint8_t* const end = HugePageFloor(arena + deferred.arenaEnd);
  for (; document.movesPages && to - page >= static_cast<ptrdiff_t>(HUGE_PAGE_SIZE) &&
         end - ahead >= static_cast<ptrdiff_t>(HUGE_PAGE_SIZE);
       page += HUGE_PAGE_SIZE, ahead += HUGE_PAGE_SIZE) {
    if (!MovePages(page, ahead, HUGE_PAGE_SIZE)) {
      document.movesPages = false;
      break;
    }
    deferred.filled = static_cast<uint32_t>(ahead + HUGE_PAGE_SIZE - arena);
  }
  DiscardPages(page, to);
}

// Memory goes back in steps of this many bytes at least: each step is a
// call to the system.
constexpr uint32_t RELEASE_STEP = 256 << 10;

// Gives back the pages of the text and of the tape before every container
// still to be built: they are read no more.
void ReleaseBehind(DeferredDocument& document) {
  uint32_t tapeNeeded = document.tapeSize;
  uint32_t textNeeded = document.size;
  for (uint32_t i = 0; i < document.count; ++i) {
    const Deferred& deferred = document.deferred[i];
    if (!deferred.started || deferred.finished) continue;
    tapeNeeded = std::min(tapeNeeded, deferred.tapeAt);
    textNeeded = std::min(textNeeded, deferred.markAt);
  }
  if (tapeNeeded - document.tapeReleased >= RELEASE_STEP) {
    DiscardPages(document.tape, document.tape + tapeNeeded);
    document.tapeReleased = tapeNeeded;
  }
  if (textNeeded - document.textReleased >= RELEASE_STEP) {
    DiscardPages(const_cast<char*>(document.text), const_cast<char*>(document.text) + textNeeded);
    document.textReleased = textNeeded;
  }
}

// Ends `deferred` and every deferred container inside it: none of their
// children will be built any more.
void Finish(DeferredDocument& document, const Deferred& deferred) {
  for (uint32_t i = 0; i < document.count; ++i) {
    Deferred& inner = document.deferred[i];
    if (inner.tapeStart >= deferred.tapeStart && inner.tapeStart < deferred.tapeEnd) {
      inner.finished = true;
    }
  }
}

// The state of the deferred document `root`, or null for any other value.
DeferredDocument* DocumentOf(const JsonValue* root) {
  if (root == nullptr || root->prev != nullptr || root->next != nullptr ||
      json_node::KindOf(root) < JSON_ARRAY || (root->tag & DOCUMENT_FLAG) == 0) {
    return nullptr;
  }
  auto* block = reinterpret_cast<uint8_t*>(const_cast<JsonValue*>(root)) - sizeof(DeferredDocument);
  return reinterpret_cast<DeferredDocument*>(block);
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

int JsonInitHooks(const JsonHooks* hooks) {
  if (hooks == nullptr || hooks->allocFunc == nullptr || hooks->freeFunc == nullptr) {
    return JSON_FAIL;
  }
  g_hooks = *hooks;
  return JSON_OK;
}

JsonHooks JsonGetHooks() { return g_hooks; }

void JsonFree(void* ptr) {
  if (ptr != nullptr) g_hooks.freeFunc(ptr);
}

int JsonParse(const char* text, JsonValue** root) {
  return text == nullptr ? JSON_FAIL : JsonParseWithOptions(text, std::strlen(text), root, 0);
}

int JsonParseWithOptions(const char* text, size_t length, JsonValue** root, uint32_t options,
                         uint32_t deferBytes) {
  if (text == nullptr || root == nullptr) return JSON_FAIL;
  if (length > JSON_MAX_TEXT_LENGTH) return JSON_FAIL;
  Parser p{};
  p.cur = DocCursor{text, static_cast<uint32_t>(length + 1), 0, 0};
  p.options = options;
  p.deferBytes = std::max(deferBytes, 1u);
  p.numberEnd = UINT32_MAX;
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
    void* arena = p.document != nullptr ? static_cast<void*>(p.document) : p.arenaCursor;
    if (BuildPass(p, root)) {
      uint32_t end = SkipSpace(p, p.cur.pos);
      if (end >= p.cur.size) {
        result = JSON_OK;
      } else {
        Fail(p, end, JsonErrorCause::TEXT_AFTER_VALUE);
      }
    }
    if (result != JSON_OK) {
      if (p.document != nullptr) JsonFree(p.document->tape);
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
  // byte (but for the state of a deferred document before it): deleting a root
  // releases the whole document, deleting any other node releases nothing.
  if (DeferredDocument* document = DocumentOf(value)) {
    JsonFree(document->tape);
    JsonFree(document);
  } else if (value != nullptr && value->prev == nullptr && value->next == nullptr) {
    JsonFree(value);
  }
}

void JsonRelease(const JsonValue* root, const JsonValue* container, const JsonValue* next) {
  DeferredDocument* document = DocumentOf(root);
  if (document == nullptr) return;
  Deferred* const end = document->deferred + document->count;
  Deferred* deferred = std::find_if(document->deferred, end, [container](const Deferred& entry) {
    return entry.started && entry.container == container;
  });
  if (deferred == end) return;
  uint8_t* to = next != nullptr ? reinterpret_cast<uint8_t*>(const_cast<JsonValue*>(next))
                                : document->arena + deferred->arenaEnd;
  ReleaseArena(*document, *deferred, to, next == nullptr);
  if (next == nullptr) Finish(*document, *deferred);
  ReleaseBehind(*document);
}

JsonValue* JsonBuildUnbuilt(JsonValue* child) {
  Deferred* deferred = nullptr;
  std::memcpy(&deferred, child, sizeof(deferred));
  DeferredDocument& document = *deferred->document;
  Parser p{};
  p.cur = DocCursor{document.text, document.size, 0, 0};
  p.options = document.options;
  p.deferBytes = document.deferBytes;
  p.mark = deferred->markAt;
  p.in = document.tape + deferred->tapeAt;
  p.arenaCursor = document.arena + deferred->arenaAt;
  // Texts are copied in blocks that may run past their end, but not past
  // the container's children: what follows was built at another time.
  p.arenaEnd = document.arena + deferred->arenaEnd;
  p.document = &document;
  const uint8_t* windowEnd =
      p.arenaEnd - p.arenaCursor > document.deferBytes ? p.arenaCursor + document.deferBytes : p.arenaEnd;
  // The measure pass checked every escape: building cannot fail.
  if (BuildChildren(p, deferred->children, windowEnd) == Built::ALL) {
    FinishChildren(deferred->container, deferred->children);
    deferred->finished = true;
  } else {
    MarkUnbuilt(p.arenaCursor, deferred);
    deferred->children.last->next = reinterpret_cast<JsonValue*>(p.arenaCursor);
  }
  deferred->tapeAt = static_cast<uint32_t>(p.in - document.tape);
  deferred->markAt = p.mark;
  deferred->arenaAt = static_cast<uint32_t>(p.arenaCursor - document.arena);
  ReleaseBehind(document);
  return child;
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
