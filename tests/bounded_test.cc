#include "bounded/bounded.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

using bounded::memcpy_s;
using bounded::memset_s;
using bounded::strcpy_s;
using bounded::strncpy_s;

constexpr size_t TOO_BIG = size_t{0x80000000};

// Where a row's source lives: nowhere (null), in its own buffer, or inside
// the arena at an offset from the destination (to build overlaps).
constexpr int NULL_SOURCE = INT_MIN;
constexpr int OWN_BUFFER = INT_MAX;

// A patterned block with the destination in its middle. Each row states the
// bytes it expects at the start of the destination; every other byte of the
// block must keep its value, which catches writes past the expected ones.
class Arena {
 public:
  static constexpr size_t SIZE = 96;
  static constexpr size_t DEST_AT = 32;

  Arena() {
    for (size_t i = 0; i < SIZE; ++i) bytes[i] = static_cast<char>('A' + i % 26);
  }

  char* Dest(bool null) { return null ? nullptr : bytes + DEST_AT; }

  // Puts `text` (all its bytes) where `at` says and returns its address.
  const char* PlaceSource(int at, const std::string& text) {
    if (at == NULL_SOURCE) return nullptr;
    if (at == OWN_BUFFER) {
      own = text;
      return own.data();
    }
    char* place = bytes + DEST_AT + at;
    std::memcpy(place, text.data(), text.size());
    return place;
  }

  void Snapshot() { std::memcpy(before, bytes, SIZE); }

  void ExpectDestStartsWith(const std::string& expected) const {
    std::string want(before, SIZE);
    want.replace(DEST_AT, expected.size(), expected);
    EXPECT_EQ(std::string(bytes, SIZE), want);
  }

 private:
  char bytes[SIZE];
  char before[SIZE];
  std::string own;
};

std::string Bytes(const char* text, size_t size) { return std::string(text, size); }
std::string Zeros(size_t size) { return std::string(size, '\0'); }
const std::string EMPTY_STRING = Zeros(1);
const std::string UNTOUCHED;

struct MemsetRow {
  const char* condition;
  bool nullDest;
  size_t destMax;
  size_t count;
  int result;
  std::string dest;
};

TEST(MemsetS, WalksConditionsInOrder) {
  const MemsetRow rows[] = {
      {"1 size too big, even with count 0", false, TOO_BIG, 0, BOUNDED_ERANGE, UNTOUCHED},
      {"1 size too big, null destination", true, TOO_BIG, 4, BOUNDED_ERANGE, UNTOUCHED},
      {"2 count below size", false, 8, 3, BOUNDED_OK, "zzz"},
      {"2 count equal to size", false, 8, 8, BOUNDED_OK, "zzzzzzzz"},
      {"2 count 0 and size 0 writes nothing", false, 0, 0, BOUNDED_OK, UNTOUCHED},
      {"2 largest size with count 0", false, BOUNDED_SIZE_MAX, 0, BOUNDED_OK, UNTOUCHED},
      {"3 size 0 with count", false, 0, 1, BOUNDED_ERANGE, UNTOUCHED},
      {"3 size 0 before null destination", true, 0, 0, BOUNDED_ERANGE, UNTOUCHED},
      {"4 null destination", true, 8, 3, BOUNDED_EINVAL, UNTOUCHED},
      {"5 count above size fills the whole destination", false, 8, 9, BOUNDED_ERANGE_AND_RESET,
       "zzzzzzzz"},
  };
  for (const MemsetRow& row : rows) {
    SCOPED_TRACE(row.condition);
    Arena arena;
    arena.Snapshot();
    // The fill value is taken as an unsigned byte.
    EXPECT_EQ(memset_s(arena.Dest(row.nullDest), row.destMax, 0x100 + 'z', row.count), row.result);
    arena.ExpectDestStartsWith(row.dest);
  }
}

struct CopyRow {
  const char* condition;
  bool nullDest;
  size_t destMax;
  int sourceAt;        // NULL_SOURCE, OWN_BUFFER or an offset from the destination
  std::string source;  // bytes placed there
  size_t count;        // ignored by strcpy_s
  int result;
  std::string dest;
};

const std::string SOURCE = "0123456789";

using CopyCall = int (*)(char* dest, size_t destMax, const char* source, size_t count);

template <size_t N>
void WalkCopyRows(const CopyRow (&rows)[N], CopyCall call) {
  for (const CopyRow& row : rows) {
    SCOPED_TRACE(row.condition);
    Arena arena;
    const char* source = arena.PlaceSource(row.sourceAt, row.source);
    arena.Snapshot();
    EXPECT_EQ(call(arena.Dest(row.nullDest), row.destMax, source, row.count), row.result);
    arena.ExpectDestStartsWith(row.dest);
  }
}

TEST(MemcpyS, WalksConditionsInOrder) {
  const CopyRow rows[] = {
      {"1 size 0, even with count 0", false, 0, OWN_BUFFER, SOURCE, 0, BOUNDED_ERANGE, UNTOUCHED},
      {"1 size too big", false, TOO_BIG, OWN_BUFFER, SOURCE, 4, BOUNDED_ERANGE, UNTOUCHED},
      {"1 before null destination", true, 0, NULL_SOURCE, "", 4, BOUNDED_ERANGE, UNTOUCHED},
      {"2 null destination", true, 8, NULL_SOURCE, "", 4, BOUNDED_EINVAL, UNTOUCHED},
      {"3 null source", false, 8, NULL_SOURCE, "", 4, BOUNDED_EINVAL_AND_RESET, Zeros(8)},
      {"3 null source with count above size", false, 8, NULL_SOURCE, "", 9,
       BOUNDED_EINVAL_AND_RESET, Zeros(8)},
      {"4 count above size", false, 8, OWN_BUFFER, SOURCE, 9, BOUNDED_ERANGE_AND_RESET, Zeros(8)},
      {"5 source just before destination", false, 8, -2, "ab", 4, BOUNDED_EOVERLAP_AND_RESET,
       Zeros(8)},
      {"5 destination just before source", false, 8, 2, "ab", 4, BOUNDED_EOVERLAP_AND_RESET,
       Zeros(8)},
      {"6 count 0", false, 8, OWN_BUFFER, SOURCE, 0, BOUNDED_OK, UNTOUCHED},
      {"6 count 0 with equal pointers", false, 8, 0, "", 0, BOUNDED_OK, UNTOUCHED},
      {"6 equal pointers", false, 8, 0, "ab", 4, BOUNDED_OK, "ab"},
      {"7 copy", false, 8, OWN_BUFFER, SOURCE, 8, BOUNDED_OK, "01234567"},
      {"7 source touching the destination from below", false, 8, -4, "wxyz", 4, BOUNDED_OK, "wxyz"},
      {"7 source touching the destination from above", false, 8, 4, "wxyz", 4, BOUNDED_OK,
       "wxyzwxyz"},
  };
  WalkCopyRows(rows, [](char* dest, size_t destMax, const char* source, size_t count) {
    return memcpy_s(dest, destMax, source, count);
  });
}

TEST(StrcpyS, WalksConditionsInOrder) {
  const CopyRow rows[] = {
      {"1 size 0", false, 0, OWN_BUFFER, "abc", 0, BOUNDED_ERANGE, UNTOUCHED},
      {"1 size too big", false, TOO_BIG, OWN_BUFFER, "abc", 0, BOUNDED_ERANGE, UNTOUCHED},
      {"2 null destination", true, 8, OWN_BUFFER, "abc", 0, BOUNDED_EINVAL, UNTOUCHED},
      {"3 null source", false, 8, NULL_SOURCE, "", 0, BOUNDED_EINVAL_AND_RESET, EMPTY_STRING},
      {"4 source as long as the destination", false, 3, OWN_BUFFER, "abc", 0,
       BOUNDED_ERANGE_AND_RESET, EMPTY_STRING},
      {"4 unterminated source is read only up to the size", false, 4, 8, "abcd", 0,
       BOUNDED_ERANGE_AND_RESET, EMPTY_STRING},
      {"5 equal pointers", false, 8, 0, Bytes("abc\0", 4), 0, BOUNDED_OK, Bytes("abc\0", 4)},
      {"5 equal pointers before the length check", false, 3, 0, "abcdef", 0,
       BOUNDED_ERANGE_AND_RESET, EMPTY_STRING},
      {"6 source overlapping from below", false, 8, -2, Bytes("abc\0", 4), 0,
       BOUNDED_EOVERLAP_AND_RESET, EMPTY_STRING},
      {"6 source overlapping from above", false, 8, 3, Bytes("abc\0", 4), 0,
       BOUNDED_EOVERLAP_AND_RESET, EMPTY_STRING},
      {"7 copy fits with its zero", false, 4, OWN_BUFFER, "abc", 0, BOUNDED_OK, Bytes("abc\0", 4)},
      {"7 empty source", false, 1, OWN_BUFFER, "", 0, BOUNDED_OK, EMPTY_STRING},
      {"7 source touching from below", false, 8, -4, Bytes("abc\0", 4), 0, BOUNDED_OK,
       Bytes("abc\0", 4)},
      {"7 source touching from above", false, 8, 4, Bytes("abc\0", 4), 0, BOUNDED_OK,
       Bytes("abc\0abc\0", 8)},
  };
  WalkCopyRows(rows, [](char* dest, size_t destMax, const char* source, size_t) {
    return strcpy_s(dest, destMax, source);
  });
}

TEST(StrncpyS, WalksConditionsInOrder) {
  const CopyRow rows[] = {
      {"1 size 0", false, 0, OWN_BUFFER, "abc", 2, BOUNDED_ERANGE, UNTOUCHED},
      {"1 size too big", false, TOO_BIG, OWN_BUFFER, "abc", 2, BOUNDED_ERANGE, UNTOUCHED},
      {"2 null destination", true, 8, OWN_BUFFER, "abc", 2, BOUNDED_EINVAL, UNTOUCHED},
      {"3 null source", false, 8, NULL_SOURCE, "", 2, BOUNDED_EINVAL_AND_RESET, EMPTY_STRING},
      {"4 count too big", false, 8, OWN_BUFFER, "abc", TOO_BIG, BOUNDED_ERANGE_AND_RESET,
       EMPTY_STRING},
      {"5 count 0", false, 8, OWN_BUFFER, "abc", 0, BOUNDED_OK, EMPTY_STRING},
      {"6 count equal to size, source as long", false, 4, OWN_BUFFER, "abcd", 4,
       BOUNDED_ERANGE_AND_RESET, EMPTY_STRING},
      {"6 count above size, source longer", false, 4, OWN_BUFFER, "abcdef", 9,
       BOUNDED_ERANGE_AND_RESET, EMPTY_STRING},
      {"7 source overlapping from below", false, 8, -2, Bytes("abc\0", 4), 3,
       BOUNDED_EOVERLAP_AND_RESET, EMPTY_STRING},
      {"7 source touching from below", false, 8, -3, Bytes("abc\0", 4), 3,
       BOUNDED_EOVERLAP_AND_RESET, EMPTY_STRING},
      {"7 destination touching from below", false, 8, 3, Bytes("abc\0", 4), 3,
       BOUNDED_EOVERLAP_AND_RESET, EMPTY_STRING},
      {"8 source one byte clear from below", false, 8, -4, Bytes("abc\0", 4), 3, BOUNDED_OK,
       Bytes("abc\0", 4)},
      {"8 destination one byte clear from below", false, 8, 4, Bytes("abc\0", 4), 8, BOUNDED_OK,
       Bytes("abc\0abc\0", 8)},
      {"8 equal pointers truncate in place", false, 8, 0, Bytes("abcdef\0", 7), 2, BOUNDED_OK,
       Bytes("ab\0def\0", 7)},
      {"8 count 2 of abc", false, 8, OWN_BUFFER, "abc", 2, BOUNDED_OK, Bytes("ab\0", 3)},
      {"8 count limits an unterminated source", false, 8, OWN_BUFFER, "abcdefghij", 5, BOUNDED_OK,
       Bytes("abcde\0", 6)},
      {"8 count equal to size, shorter source", false, 4, OWN_BUFFER, "abc", 4, BOUNDED_OK,
       Bytes("abc\0", 4)},
      {"8 count above size, shorter source", false, 4, OWN_BUFFER, "ab", 100, BOUNDED_OK,
       Bytes("ab\0", 3)},
  };
  WalkCopyRows(rows, [](char* dest, size_t destMax, const char* source, size_t count) {
    return strncpy_s(dest, destMax, source, count);
  });
}

}  // namespace
