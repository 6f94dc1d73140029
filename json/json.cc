// The two-pass parser. The measure pass checks the syntax, counts the values
// and records each value's tag and sizes on a tape; the build pass replays
// the tape over the text and lays the tree out in one arena sized exactly
// from the counts: nodes, keys and texts back to back in document order.
#include "json/json.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "bounded/bounded.h"
#include "json/json_node.h"

using json_node::KEY_HASH_SIZE;

namespace {

void* DefaultAlloc(uint32_t size) { return size == 0 ? nullptr : std::malloc(size); }
void DefaultFree(void* ptr) { std::free(ptr); }

JsonHooks g_hooks = {DefaultAlloc, DefaultFree};
const char* g_errorText = nullptr;  // text of the last failed parse
uint32_t g_errorOffset = 0;         // where in g_errorText it stopped

void* Alloc(uint32_t size) { return size == 0 ? nullptr : g_hooks.allocFunc(size); }

constexpr uint32_t INLINE_TAPE_SIZE = 1024;
// Texts this large (with the terminator) get an allocated tape of
// TAPE_BYTES_PER_BLOCK per TEXT_BLOCK of text, plus one inline tape's worth.
constexpr uint32_t TEXT_BLOCK = 4096;
constexpr uint32_t TAPE_BYTES_PER_BLOCK = 1024;
// Largest tape record: tag, key information, 64-bit value, 32-bit length.
constexpr uint32_t MAX_TAPE_RECORD = 1 + 2 + 8 + 4;

struct Tape {
  uint8_t* data;      // inlineBuffer or an allocated block
  uint32_t capacity;  // bytes at data
  uint32_t used;      // bytes written by the measure pass
  uint32_t readPos;   // bytes read back by the build pass
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

// Key information on the tape: raw length in the high byte, decoded size in
// the low byte.
uint16_t KeyInfo(uint32_t rawLength, uint32_t decodedSize) {
  return static_cast<uint16_t>(rawLength << 8 | decodedSize);
}
uint32_t KeyRawLength(uint16_t keyInfo) { return keyInfo >> 8; }
uint32_t KeyDecodedSize(uint16_t keyInfo) { return keyInfo & 0xFFu; }

// ---- Little-endian loads for the word-at-a-time scans and the key hash ----

uint64_t LoadLe(const uint8_t* p, unsigned bytes) {
  uint64_t value = 0;
  for (unsigned i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
  return value;
}

constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint64_t HIGHS = 0x8080808080808080ull;

// High bit set in every byte of `word` equal to `byte`; bits above the first
// match may be spurious, the lowest one is exact.
uint64_t MatchByte(uint64_t word, uint8_t byte) {
  uint64_t x = word ^ (ONES * byte);
  return (x - ONES) & ~x & HIGHS;
}

bool IsWhitespace(char c) { return static_cast<signed char>(c) <= ' '; }

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

void TapeRelease(Tape& tape) {
  if (tape.data != tape.inlineBuffer) JsonFree(tape.data);
  tape.data = nullptr;
}

template <typename T>
void TapePut(Tape& tape, T value) {
  std::memcpy(tape.data + tape.used, &value, sizeof(value));
  tape.used += static_cast<uint32_t>(sizeof(value));
}

template <typename T>
T TapeGet(Tape& tape) {
  T value;
  std::memcpy(&value, tape.data + tape.readPos, sizeof(value));
  tape.readPos += static_cast<uint32_t>(sizeof(value));
  return value;
}

// ---- Escapes, shared by both passes ----

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads "\uXXXX" at `p` into *unit. Stops at the first wrong byte, so it
// never reads past the text's terminator.
bool ReadUnicodeEscape(const char* p, uint32_t* unit) {
  if (p[0] != '\\' || p[1] != 'u') return false;
  uint32_t value = 0;
  for (int i = 2; i < 6; ++i) {
    int digit = HexDigit(p[i]);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *unit = value;
  return true;
}

constexpr uint32_t UNICODE_ESCAPE_LENGTH = 6;

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Decodes one \u escape, or a surrogate pair of two, at `p` into *codePoint;
// returns the source bytes taken, 0 when malformed.
uint32_t ReadCodePoint(const char* p, uint32_t* codePoint) {
  uint32_t high;
  if (!ReadUnicodeEscape(p, &high) || IsLowSurrogate(high)) return 0;
  if (!IsHighSurrogate(high)) {
    *codePoint = high;
    return UNICODE_ESCAPE_LENGTH;
  }
  uint32_t low;
  if (!ReadUnicodeEscape(p + UNICODE_ESCAPE_LENGTH, &low) || !IsLowSurrogate(low)) return 0;
  *codePoint = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
  return 2 * UNICODE_ESCAPE_LENGTH;
}

uint32_t Utf8Length(uint32_t codePoint) {
  if (codePoint < 0x80) return 1;
  if (codePoint < 0x800) return 2;
  if (codePoint < 0x10000) return 3;
  return 4;
}

char* PutUtf8(char* out, uint32_t codePoint) {
  auto byte = [](uint32_t bits) { return static_cast<char>(static_cast<uint8_t>(bits)); };
  switch (Utf8Length(codePoint)) {
    case 1:
      *out++ = byte(codePoint);
      break;
    case 2:
      *out++ = byte(0xC0 | codePoint >> 6);
      *out++ = byte(0x80 | (codePoint & 0x3F));
      break;
    case 3:
      *out++ = byte(0xE0 | codePoint >> 12);
      *out++ = byte(0x80 | (codePoint >> 6 & 0x3F));
      *out++ = byte(0x80 | (codePoint & 0x3F));
      break;
    default:
      *out++ = byte(0xF0 | codePoint >> 18);
      *out++ = byte(0x80 | (codePoint >> 12 & 0x3F));
      *out++ = byte(0x80 | (codePoint >> 6 & 0x3F));
      *out++ = byte(0x80 | (codePoint & 0x3F));
      break;
  }
  return out;
}

// The byte a one-character escape stands for, or -1 for an unknown escape.
int SimpleEscape(char c) {
  switch (c) {
    case '"':
    case '\\':
    case '/':
      return c;
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return -1;
  }
}

// ---- Measure pass ----

struct Parser {
  DocCursor cur;
  ParseState* state;
};

void SkipWhitespace(DocCursor& cur) {
  while (cur.pos < cur.size && IsWhitespace(cur.text[cur.pos])) ++cur.pos;
}

// Offset of the first '"' or '\\' at or after `from`, or `end` if none comes
// before it.
uint32_t FindQuoteOrBackslash(const char* text, uint32_t from, uint32_t end) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  uint32_t i = from;
  for (; end - i >= 8; i += 8) {
    uint64_t word = LoadLe(bytes + i, 8);
    uint64_t hits = MatchByte(word, '"') | MatchByte(word, '\\');
    if (hits != 0) return i + static_cast<uint32_t>(__builtin_ctzll(hits) / 8);
  }
  for (; i < end; ++i) {
    if (text[i] == '"' || text[i] == '\\') return i;
  }
  return end;
}

struct StringSizes {
  uint32_t rawLength;    // bytes between the quotes
  uint32_t decodedSize;  // bytes of the decoded text plus its terminator
};

// Scans the string whose opening quote is at the cursor and moves past its
// closing quote. On failure the cursor is left at the bad escape, or at the
// terminator of an unterminated string.
bool ScanString(DocCursor& cur, StringSizes* sizes) {
  if (cur.text[cur.pos] != '"') return false;
  uint32_t start = cur.pos + 1;
  uint32_t end = cur.size - 1;
  uint32_t saved = 0;  // source bytes that escapes save in the decoded text
  uint32_t i = start;
  for (;;) {
    i = FindQuoteOrBackslash(cur.text, i, end);
    if (i == end) {
      cur.pos = end;
      return false;
    }
    if (cur.text[i] == '"') break;
    if (cur.text[i + 1] == 'u') {
      uint32_t codePoint;
      uint32_t taken = ReadCodePoint(cur.text + i, &codePoint);
      if (taken == 0) {
        cur.pos = i;
        return false;
      }
      saved += taken - Utf8Length(codePoint);
      i += taken;
    } else if (i + 1 == end) {
      cur.pos = end;
      return false;
    } else {
      saved += 1;
      i += 2;
    }
  }
  sizes->rawLength = i - start;
  sizes->decodedSize = sizes->rawLength - saved + 1;
  cur.pos = i + 1;
  return true;
}

bool MeasureValue(Parser& p, bool member, uint16_t keyInfo);

// Records the start of a value on the tape: its tag and, for a member, its
// key information. Makes room for the whole record.
bool RecordValue(Parser& p, uint8_t tag, bool member, uint16_t keyInfo) {
  Tape& tape = p.state->tape;
  if (tape.capacity - tape.used < MAX_TAPE_RECORD && !TapeGrow(tape)) return false;
  TapePut<uint8_t>(tape, member ? static_cast<uint8_t>(tag | JSON_FLAG_KEY) : tag);
  if (member) TapePut<uint16_t>(tape, keyInfo);
  return true;
}

bool MeasureString(Parser& p, bool member, uint16_t keyInfo) {
  StringSizes sizes;
  if (!ScanString(p.cur, &sizes) || !RecordValue(p, JSON_STRING, member, keyInfo)) return false;
  p.state->strings++;
  p.state->stringBytes += sizes.decodedSize;
  TapePut<uint64_t>(p.state->tape,
                    static_cast<uint64_t>(sizes.rawLength) << 32 | sizes.decodedSize);
  return true;
}

bool MeasureLiteral(Parser& p, bool member, uint16_t keyInfo) {
  static constexpr struct {
    const char* word;
    uint32_t length;
    uint8_t kind;
  } LITERALS[] = {{"null", 4, JSON_NULL}, {"true", 4, JSON_TRUE}, {"false", 5, JSON_FALSE}};
  for (const auto& literal : LITERALS) {
    if (p.cur.text[p.cur.pos] != literal.word[0]) continue;
    if (p.cur.size - p.cur.pos < literal.length ||
        std::memcmp(p.cur.text + p.cur.pos, literal.word, literal.length) != 0 ||
        !RecordValue(p, literal.kind, member, keyInfo)) {
      return false;
    }
    p.cur.pos += literal.length;
    uint32_t* counts[] = {&p.state->nulls, &p.state->trues, &p.state->falses};
    ++*counts[literal.kind];
    return true;
  }
  return false;
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

bool MeasureNumber(Parser& p, bool member, uint16_t keyInfo) {
  const char* start = p.cur.text + p.cur.pos;
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
  uint8_t tag = isDouble ? static_cast<uint8_t>(JSON_NUMBER | JSON_FLAG_DOUBLE) : JSON_NUMBER;
  if (rangeError || !RecordValue(p, tag, member, keyInfo)) return false;
  // The length is kept in 32 bits, so that number texts of any length (long
  // fractions, zero-padded integers) replay exactly in the build pass.
  auto length = static_cast<uint32_t>(end - start);
  p.state->numbers++;
  TapePut<uint64_t>(p.state->tape, bits);
  TapePut<uint32_t>(p.state->tape, length);
  p.cur.pos += length;
  return true;
}

// Measures a member: its key, the colon and its value.
bool MeasureMember(Parser& p) {
  uint32_t keyStart = p.cur.pos;
  StringSizes key;
  if (!ScanString(p.cur, &key)) return false;
  if (key.rawLength > JSON_MAX_KEY_RAW_LENGTH || key.decodedSize > JSON_MAX_KEY_SIZE) {
    p.cur.pos = keyStart;
    return false;
  }
  SkipWhitespace(p.cur);
  if (p.cur.pos >= p.cur.size || p.cur.text[p.cur.pos] != ':') return false;
  ++p.cur.pos;
  SkipWhitespace(p.cur);
  p.state->keyBytes += key.decodedSize + KEY_HASH_SIZE;
  return MeasureValue(p, true, KeyInfo(key.rawLength, key.decodedSize));
}

bool MeasureContainer(Parser& p, uint8_t kind, bool member, uint16_t keyInfo) {
  if (p.cur.depth > JSON_MAX_DEPTH) return false;
  ++p.cur.pos;
  SkipWhitespace(p.cur);
  if (p.cur.pos >= p.cur.size || !RecordValue(p, kind, member, keyInfo)) return false;
  bool isObject = kind == JSON_OBJECT;
  ++(isObject ? p.state->objects : p.state->arrays);
  char close = isObject ? '}' : ']';
  if (p.cur.text[p.cur.pos] == close) {
    ++p.cur.pos;
    return true;
  }
  ++p.cur.depth;
  for (;;) {
    SkipWhitespace(p.cur);
    if (!(isObject ? MeasureMember(p) : MeasureValue(p, false, 0))) return false;
    SkipWhitespace(p.cur);
    if (p.cur.pos >= p.cur.size) return false;
    if (p.cur.text[p.cur.pos] != ',') break;
    ++p.cur.pos;
  }
  if (p.cur.text[p.cur.pos] != close) return false;
  ++p.cur.pos;
  --p.cur.depth;
  return true;
}

bool MeasureValue(Parser& p, bool member, uint16_t keyInfo) {
  if (p.cur.pos >= p.cur.size) return false;
  switch (p.cur.text[p.cur.pos]) {
    case '"':
      return MeasureString(p, member, keyInfo);
    case '{':
      return MeasureContainer(p, JSON_OBJECT, member, keyInfo);
    case '[':
      return MeasureContainer(p, JSON_ARRAY, member, keyInfo);
    case 'f':
    case 'n':
    case 't':
      return MeasureLiteral(p, member, keyInfo);
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
      return MeasureNumber(p, member, keyInfo);
    default:
      return false;
  }
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
bool AllocateArena(ParseState& s) {
  uint64_t size = uint64_t{json_node::OBJECT_NODE_SIZE} * s.objects +
                  uint64_t{json_node::ARRAY_NODE_SIZE} * s.arrays +
                  uint64_t{json_node::VALUE_NODE_SIZE} * (uint64_t{s.numbers} + s.strings) +
                  uint64_t{json_node::SCALAR_NODE_SIZE} * (uint64_t{s.nulls} + s.trues + s.falses) +
                  s.keyBytes + s.stringBytes;
  if (size > UINT32_MAX) return false;
  s.arenaCursor = static_cast<uint8_t*>(Alloc(static_cast<uint32_t>(size)));
  return s.arenaCursor != nullptr;
}

bool MeasurePass(Parser& p) {
  SkipWhitespace(p.cur);
  if (!PrepareTape(p)) return false;
  p.cur.depth = 1;
  if (MeasureValue(p, false, 0) && AllocateArena(*p.state)) return true;
  TapeRelease(p.state->tape);
  return false;
}

// ---- Build pass ----

JsonValue* TakeNode(ParseState& s, uint8_t kind, uint32_t keySpace) {
  auto* node = reinterpret_cast<JsonValue*>(s.arenaCursor);
  s.arenaCursor += json_node::NodeSize(kind) + keySpace;
  return node;
}

// Decodes `rawLength` source bytes at the cursor into `out`, which takes
// exactly `decodedSize` bytes with the terminator, and moves the cursor past
// them. On a bad escape the cursor is left at its backslash.
bool DecodeText(DocCursor& cur, uint32_t rawLength, char* out, uint32_t decodedSize) {
  const char* src = cur.text + cur.pos;
  if (rawLength + 1 == decodedSize) {
    // Escapes always shrink the text: equal sizes mean there are none.
    if (bounded::memcpy_s(out, decodedSize, src, rawLength) != 0) return false;
    out[rawLength] = '\0';
    cur.pos += rawLength;
    return true;
  }
  const char* end = src + rawLength;
  while (src < end) {
    if (*src != '\\') {
      *out++ = *src++;
      continue;
    }
    if (src[1] == 'u') {
      uint32_t codePoint;
      src += ReadCodePoint(src, &codePoint);
      out = PutUtf8(out, codePoint);
      continue;
    }
    int byte = SimpleEscape(src[1]);
    if (byte < 0) {
      cur.pos = static_cast<uint32_t>(src - cur.text);
      return false;
    }
    *out++ = static_cast<char>(byte);
    src += 2;
  }
  *out = '\0';
  cur.pos += rawLength;
  return true;
}

bool BuildValue(Parser& p, JsonValue* node, uint8_t tag);

// Reads the next child's record, takes its node (with its key for a member)
// and builds it.
bool BuildChild(Parser& p, JsonValue* container) {
  Tape& tape = p.state->tape;
  auto tag = TapeGet<uint8_t>(tape);
  uint8_t kind = tag & JSON_KIND_MASK;
  if ((tag & JSON_FLAG_KEY) == 0) {
    JsonValue* child = TakeNode(*p.state, kind, 0);
    json_node::AppendChild(container, child);
    return BuildValue(p, child, tag);
  }
  auto keyInfo = TapeGet<uint16_t>(tape);
  uint32_t keySize = KeyDecodedSize(keyInfo);
  JsonValue* child = TakeNode(*p.state, kind, keySize + KEY_HASH_SIZE);
  json_node::AppendChild(container, child);
  // The node's tag is written by BuildValue, so the key area comes from the
  // kind read off the tape.
  uint8_t* keyArea = reinterpret_cast<uint8_t*>(child) + json_node::NodeSize(kind);
  char* keyText = reinterpret_cast<char*>(keyArea + KEY_HASH_SIZE);
  ++p.cur.pos;
  if (!DecodeText(p.cur, KeyRawLength(keyInfo), keyText, keySize)) return false;
  uint32_t hash = JsonKeyHash(keyText, static_cast<uint32_t>(std::strlen(keyText)));
  std::memcpy(keyArea, &hash, sizeof(hash));
  ++p.cur.pos;
  SkipWhitespace(p.cur);
  ++p.cur.pos;  // the colon
  SkipWhitespace(p.cur);
  return BuildValue(p, child, tag);
}

bool BuildContainer(Parser& p, JsonValue* node) {
  if (json_node::KindOf(node) == JSON_ARRAY) {
    node->array = JsonArrayList{0, 0, nullptr, nullptr, nullptr};
  } else {
    node->object = JsonObjectList{nullptr, nullptr};
  }
  ++p.cur.pos;
  SkipWhitespace(p.cur);
  for (;;) {
    char c = p.cur.text[p.cur.pos];
    if (c == ']' || c == '}') break;
    if (!BuildChild(p, node)) return false;
    if (json_node::KindOf(node) == JSON_ARRAY) node->array.count++;
    SkipWhitespace(p.cur);
    if (p.cur.text[p.cur.pos] == ',') {
      ++p.cur.pos;
      SkipWhitespace(p.cur);
    }
  }
  ++p.cur.pos;
  if (json_node::KindOf(node) == JSON_ARRAY) node->array.cachedItem = node->array.first;
  return true;
}

bool BuildValue(Parser& p, JsonValue* node, uint8_t tag) {
  Tape& tape = p.state->tape;
  node->tag = tag | JSON_FLAG_ARENA;
  switch (tag & JSON_KIND_MASK) {
    case JSON_NULL:
    case JSON_TRUE:
      p.cur.pos += 4;
      return true;
    case JSON_FALSE:
      p.cur.pos += 5;
      return true;
    case JSON_NUMBER:
      node->integer = static_cast<int64_t>(TapeGet<uint64_t>(tape));
      p.cur.pos += TapeGet<uint32_t>(tape);
      return true;
    case JSON_STRING: {
      node->tag |= JSON_FLAG_ARENA_TEXT;
      auto sizes = TapeGet<uint64_t>(tape);
      auto decodedSize = static_cast<uint32_t>(sizes);
      node->text = reinterpret_cast<char*>(p.state->arenaCursor);
      p.state->arenaCursor += decodedSize;
      ++p.cur.pos;
      if (!DecodeText(p.cur, static_cast<uint32_t>(sizes >> 32), node->text, decodedSize)) {
        return false;
      }
      ++p.cur.pos;
      return true;
    }
    default:
      return BuildContainer(p, node);
  }
}

bool BuildPass(Parser& p, JsonValue** root) {
  p.cur.pos = 0;
  SkipWhitespace(p.cur);
  auto tag = TapeGet<uint8_t>(p.state->tape);
  JsonValue* node = TakeNode(*p.state, tag & JSON_KIND_MASK, 0);
  node->prev = nullptr;
  node->next = nullptr;
  *root = node;
  bool built = BuildValue(p, node, tag);
  TapeRelease(p.state->tape);
  return built;
}

void RecordError(const DocCursor& cur) {
  g_errorText = cur.text;
  g_errorOffset = cur.pos < cur.size - 1 ? cur.pos : cur.size - 1;
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
  if (text == nullptr || root == nullptr) return JSON_FAIL;
  size_t length = std::strlen(text);
  if (length > JSON_MAX_TEXT_LENGTH) return JSON_FAIL;
  Parser p{{text, static_cast<uint32_t>(length + 1), 0, 0}, nullptr};
  p.state = static_cast<ParseState*>(Alloc(sizeof(ParseState)));
  if (p.state == nullptr) return JSON_FAIL;
  if (bounded::memset_s(p.state, sizeof(ParseState), 0, sizeof(ParseState)) != 0) {
    JsonFree(p.state);
    return JSON_FAIL;
  }
  g_errorText = nullptr;
  g_errorOffset = 0;
  int result = JSON_FAIL;
  if (!MeasurePass(p)) {
    RecordError(p.cur);
  } else {
    void* arena = p.state->arenaCursor;
    if (BuildPass(p, root)) {
      SkipWhitespace(p.cur);
      if (p.cur.pos >= p.cur.size) result = JSON_OK;
    }
    if (result != JSON_OK) {
      JsonFree(arena);
      *root = nullptr;
      RecordError(p.cur);
    }
  }
  JsonFree(p.state);
  return result;
}

void JsonDelete(JsonValue* value) {
  // Every node belongs to a document arena, and the root is the arena's first
  // byte: deleting a root releases the whole document, deleting any other node
  // (attached or detached) releases nothing.
  if (value != nullptr && value->prev == nullptr && value->next == nullptr) JsonFree(value);
}

const char* JsonGetErrorPointer() {
  return g_errorText == nullptr ? nullptr : g_errorText + g_errorOffset;
}

uint32_t JsonGetErrorPosition() { return g_errorOffset + 1; }

uint32_t JsonKeyHash(const char* key, uint32_t length) {
  constexpr uint64_t WORD_MULTIPLIER = 0x9E3779B97F4A7C15ull;
  constexpr uint32_t TAIL_MULTIPLIER = 0x9E3779B9u;
  const auto* bytes = reinterpret_cast<const uint8_t*>(key);
  uint32_t hash = 0;
  uint32_t i = 0;
  for (; length - i >= 8; i += 8) {
    hash += static_cast<uint32_t>((LoadLe(bytes + i, 8) * WORD_MULTIPLIER) >> 32);
  }
  for (unsigned tail : {4u, 2u, 1u}) {
    if ((length & tail) == 0) continue;
    hash += static_cast<uint32_t>(LoadLe(bytes + i, tail)) * TAIL_MULTIPLIER;
    i += tail;
  }
  return hash;
}
