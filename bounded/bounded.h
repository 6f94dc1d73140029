// Size-checked fill and copy into buffers of known size.
//
// Every function takes the destination with its size and refuses anything
// that would write past it. On most refusals the destination is also reset,
// so that no half-copied data is left behind: the memory functions set all
// destination-size bytes (to zero for memcpy_s, to the fill byte for
// memset_s), the string functions store an empty string.
//
// Callers must treat every result other than BOUNDED_OK as failure: the
// codes are positive, so a "< 0" test would let failures through.
//
// Conditions are tested in a fixed order and the first that holds decides
// the result; the order is given with each function. The functions keep no
// state between calls. They live in a namespace of their own because a C
// library with the optional bounds-checking interfaces declares the same
// names with other results.
#pragma once

#include <cstddef>

namespace bounded {

// Largest destination size (and strncpy_s count) accepted.
inline constexpr size_t BOUNDED_SIZE_MAX = 0x7FFFFFFF;

inline constexpr int BOUNDED_OK = 0;
// Null destination: memcpy_s(nullptr, 8, src, 4). Nothing written.
inline constexpr int BOUNDED_EINVAL = 22;
// Unusable destination size: memcpy_s(dest, 0, src, 0), or a size above
// BOUNDED_SIZE_MAX. Nothing written.
inline constexpr int BOUNDED_ERANGE = 34;
// Null source: strcpy_s(dest, 8, nullptr). Destination reset.
inline constexpr int BOUNDED_EINVAL_AND_RESET = 150;
// The data does not fit: strcpy_s(dest, 3, "abc"), memcpy_s(dest, 8, src, 9),
// or a strncpy_s count above BOUNDED_SIZE_MAX. Destination reset.
inline constexpr int BOUNDED_ERANGE_AND_RESET = 162;
// Source and destination overlap: memcpy_s(buf + 2, 8, buf, 4). Destination
// reset.
inline constexpr int BOUNDED_EOVERLAP_AND_RESET = 182;

// Sets the first `count` bytes of `dest` to (unsigned char)c.
//   1. destMax > BOUNDED_SIZE_MAX                      -> ERANGE, untouched
//   2. dest != null and count <= destMax (also 0 and 0) -> OK, count bytes set
//   3. destMax == 0                                    -> ERANGE, untouched
//   4. dest == null                                    -> EINVAL
//   5. count > destMax              -> ERANGE_AND_RESET, destMax bytes set to c
int memset_s(void* dest, size_t destMax, int c, size_t count);

// Copies `count` bytes from `src` to `dest`.
//   1. destMax == 0 or > BOUNDED_SIZE_MAX (count 0 too) -> ERANGE, untouched
//   2. dest == null                                    -> EINVAL
//   3. src == null                                     -> EINVAL_AND_RESET
//   4. count > destMax                                 -> ERANGE_AND_RESET
//   5. the count-byte regions overlap (touching is fine) -> EOVERLAP_AND_RESET
//   6. count == 0 or dest == src                       -> OK, untouched
//   7. otherwise                                       -> OK, copied
// Resets here zero all destMax bytes.
int memcpy_s(void* dest, size_t destMax, const void* src, size_t count);

// Copies the string `src` with its terminating zero (L + 1 bytes, L being
// its length).
//   1. destMax == 0 or > BOUNDED_SIZE_MAX              -> ERANGE, untouched
//   2. dest == null                                    -> EINVAL
//   3. src == null                                     -> EINVAL_AND_RESET
//   4. no terminating zero in the first destMax bytes  -> ERANGE_AND_RESET
//   5. dest == src                                     -> OK, untouched
//   6. the L + 1 byte regions overlap (touching is fine) -> EOVERLAP_AND_RESET
//   7. otherwise                                       -> OK, copied
// Resets here store an empty string.
int strcpy_s(char* dest, size_t destMax, const char* src);

// Copies at most `count` characters of `src` and a terminating zero. N, the
// number of characters copied, is the length of src limited to count when
// count < destMax, otherwise limited to destMax.
//   1. destMax == 0 or > BOUNDED_SIZE_MAX              -> ERANGE, untouched
//   2. dest == null                                    -> EINVAL
//   3. src == null                                     -> EINVAL_AND_RESET
//   4. count > BOUNDED_SIZE_MAX                        -> ERANGE_AND_RESET
//   5. count == 0                                      -> OK, empty string
//   6. count >= destMax and no terminating zero in the first destMax bytes
//                                                      -> ERANGE_AND_RESET
//   7. dest != src and the N-byte regions overlap or touch
//                                                      -> EOVERLAP_AND_RESET
//   8. otherwise                          -> OK, N bytes copied, dest[N] = 0
// Resets here store an empty string.
int strncpy_s(char* dest, size_t destMax, const char* src, size_t count);

}  // namespace bounded

// The codes carry their own prefix, so callers may also name them unqualified.
using bounded::BOUNDED_EINVAL;
using bounded::BOUNDED_EINVAL_AND_RESET;
using bounded::BOUNDED_EOVERLAP_AND_RESET;
using bounded::BOUNDED_ERANGE;
using bounded::BOUNDED_ERANGE_AND_RESET;
using bounded::BOUNDED_OK;
using bounded::BOUNDED_SIZE_MAX;
