// Byte-level helpers of the parser: whitespace, string scanning and escape
// decoding. The scans read a word (or a vector) at a time but never past the
// bounds they are given.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "json/json.h"

namespace json_text {

// Little-endian loads, each a single load on little-endian machines.
inline uint64_t LoadLe64(const uint8_t* p) {
  return json_hash::LoadLe<uint64_t>(reinterpret_cast<const char*>(p));
}

constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint64_t HIGHS = 0x8080808080808080ull;

// High bit set in every byte of `word` equal to `byte`; bits above the first
// match may be spurious, the lowest one is exact.
inline uint64_t MatchByte(uint64_t word, uint8_t byte) {
  uint64_t x = word ^ (ONES * byte);
  return (x - ONES) & ~x & HIGHS;
}

// High bit set in every byte of `word` that is not whitespace (0x21..0x7F);
// no carry crosses a byte, so every bit is exact.
inline uint64_t MatchNonWhitespace(uint64_t word) {
  constexpr uint64_t LOWS = ONES * 0x7F;
  constexpr uint64_t TO_HIGH_BIT = ONES * (0x80 - 0x21);
  return ((word & LOWS) + TO_HIGH_BIT) & ~word & HIGHS;
}

// Whitespace is every byte that, read as a signed 8-bit number, is at most
// 32: the controls, the space, the terminator and every byte from 0x80.
inline bool IsWhitespace(char c) { return static_cast<signed char>(c) <= ' '; }

// Position of the first non-whitespace byte at or after `pos`, or `size`.
// Pretty-printed sources put runs of indentation between tokens, so longer
// runs are skipped a word at a time.
inline uint32_t SkipWhitespace(const char* text, uint32_t pos, uint32_t size) {
  if (pos < size && !IsWhitespace(text[pos])) return pos;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  for (; size - pos >= 8; pos += 8) {
    uint64_t hits = MatchNonWhitespace(LoadLe64(bytes + pos));
    if (hits != 0) return pos + static_cast<uint32_t>(std::countr_zero(hits) / 8);
  }
  while (pos < size && IsWhitespace(text[pos])) ++pos;
  return pos;
}

// Position of the first '"' or '\\' at or after `from`, or `end` if none
// comes before it.
inline uint32_t FindQuoteOrBackslash(const char* text, uint32_t from, uint32_t end) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  uint32_t i = from;
#ifdef __SSE2__
  const __m128i quotes = _mm_set1_epi8('"');
  const __m128i backslashes = _mm_set1_epi8('\\');
  for (; end - i >= 16; i += 16) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    auto hits = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(block, quotes), _mm_cmpeq_epi8(block, backslashes))));
    if (hits != 0) return i + static_cast<uint32_t>(std::countr_zero(hits));
  }
#endif
  for (; end - i >= 8; i += 8) {
    uint64_t word = LoadLe64(bytes + i);
    uint64_t hits = MatchByte(word, '"') | MatchByte(word, '\\');
    if (hits != 0) return i + static_cast<uint32_t>(std::countr_zero(hits) / 8);
  }
  for (; i < end; ++i) {
    if (text[i] == '"' || text[i] == '\\') return i;
  }
  return end;
}

struct EscapeSize {
  uint32_t taken;    // source bytes, 0 for a malformed \u escape
  uint32_t decoded;  // bytes it decodes to
};

// Sizes the escape whose backslash is at `p`. A \u escape (or surrogate pair)
// is checked in full; any other escaped character counts as one byte and is
// checked only when decoded. Stops at the first wrong byte, so it never reads
// past the text's terminator.
EscapeSize SizeEscape(const char* p);

// Whether the escape whose backslash is at `p` is one that DecodeText
// knows: \u or one of the one-character escapes.
bool IsKnownEscape(const char* p);

// Decodes the `rawLength` source bytes at `src` into `out`, which takes
// exactly `decodedSize` bytes with the terminator. On an unknown escape
// returns false with *badEscape (out) set to its backslash.
bool DecodeText(const char* src, uint32_t rawLength, char* out, uint32_t decodedSize,
                const char** badEscape);

}  // namespace json_text
