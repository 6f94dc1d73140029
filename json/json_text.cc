#include "json/json_text.h"

#include "bounded/bounded.h"

namespace json_text {

namespace {

constexpr uint32_t UNICODE_ESCAPE_LENGTH = 6;  // \uXXXX

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads "\uXXXX" at `p` into *unit, stopping at the first wrong byte.
bool ReadUnicodeEscape(const char* p, uint32_t* unit) {
  if (p[0] != '\\' || p[1] != 'u') return false;
  uint32_t value = 0;
  for (uint32_t i = 2; i < UNICODE_ESCAPE_LENGTH; ++i) {
    int digit = HexDigit(p[i]);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *unit = value;
  return true;
}

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
  static constexpr uint8_t LEAD_BITS[] = {0, 0, 0xC0, 0xE0, 0xF0};
  uint32_t length = Utf8Length(codePoint);
  if (length == 1) {
    *out = static_cast<char>(codePoint);
    return out + 1;
  }
  for (uint32_t i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (codePoint & 0x3F));
    codePoint >>= 6;
  }
  out[0] = static_cast<char>(LEAD_BITS[length] | codePoint);
  return out + length;
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

}  // namespace

bool IsKnownEscape(const char* p) { return p[1] == 'u' || SimpleEscape(p[1]) >= 0; }

EscapeSize SizeEscape(const char* p) {
  if (p[1] != 'u') return {2, 1};
  uint32_t codePoint;
  uint32_t taken = ReadCodePoint(p, &codePoint);
  return {taken, taken == 0 ? 0 : Utf8Length(codePoint)};
}

bool DecodeText(const char* src, uint32_t rawLength, char* out, uint32_t decodedSize,
                const char** badEscape) {
  if (rawLength + 1 == decodedSize) {
    // Escapes always shrink the text: equal sizes mean there are none.
    if (bounded::memcpy_s(out, decodedSize, src, rawLength) != 0) {
      *badEscape = src;
      return false;
    }
    out[rawLength] = '\0';
    return true;
  }
  const char* end = src + rawLength;
  while (src < end) {
    if (*src != '\\') {
      *out++ = *src++;
      continue;
    }
    if (src[1] == 'u') {
      uint32_t codePoint = 0;  // the measure pass checked the escape
      src += ReadCodePoint(src, &codePoint);
      out = PutUtf8(out, codePoint);
      continue;
    }
    int byte = SimpleEscape(src[1]);
    if (byte < 0) {
      *badEscape = src;
      return false;
    }
    *out++ = static_cast<char>(byte);
    src += 2;
  }
  *out = '\0';
  return true;
}

}  // namespace json_text
