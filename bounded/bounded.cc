#include "bounded/bounded.h"

#include <cstdint>
#include <cstring>

namespace bounded {
namespace {

bool IsBadDestSize(size_t destMax) { return destMax == 0 || destMax > BOUNDED_SIZE_MAX; }

// Addresses are compared as integers: the regions may belong to unrelated
// objects, where pointer ordering is not defined.
uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Overlap of two `count`-byte regions; regions that merely touch do not.
bool Overlaps(const void* dest, const void* src, size_t count) {
  uintptr_t d = Address(dest);
  uintptr_t s = Address(src);
  return (s < d && d < s + count) || (d < s && s < d + count);
}

// Like Overlaps, but regions that touch count as overlapping.
bool OverlapsOrTouches(const void* dest, const void* src, size_t count) {
  uintptr_t d = Address(dest);
  uintptr_t s = Address(src);
  return !((s < d && s + count < d) || (d < s && d + count < s));
}

int ResetString(char* dest, int result) {
  dest[0] = '\0';
  return result;
}

int ResetMemory(void* dest, size_t destMax, int fill, int result) {
  std::memset(dest, fill, destMax);
  return result;
}

}  // namespace

int memset_s(void* dest, size_t destMax, int c, size_t count) {
  if (destMax > BOUNDED_SIZE_MAX) return BOUNDED_ERANGE;
  if (dest != nullptr && count <= destMax) {
    std::memset(dest, c, count);
    return BOUNDED_OK;
  }
  if (destMax == 0) return BOUNDED_ERANGE;
  if (dest == nullptr) return BOUNDED_EINVAL;
  return ResetMemory(dest, destMax, c, BOUNDED_ERANGE_AND_RESET);
}

int memcpy_s(void* dest, size_t destMax, const void* src, size_t count) {
  if (IsBadDestSize(destMax)) return BOUNDED_ERANGE;
  if (dest == nullptr) return BOUNDED_EINVAL;
  if (src == nullptr) return ResetMemory(dest, destMax, 0, BOUNDED_EINVAL_AND_RESET);
  if (count > destMax) return ResetMemory(dest, destMax, 0, BOUNDED_ERANGE_AND_RESET);
  if (Overlaps(dest, src, count)) {
    return ResetMemory(dest, destMax, 0, BOUNDED_EOVERLAP_AND_RESET);
  }
  if (count == 0 || dest == src) return BOUNDED_OK;
  std::memcpy(dest, src, count);
  return BOUNDED_OK;
}

int strcpy_s(char* dest, size_t destMax, const char* src) {
  if (IsBadDestSize(destMax)) return BOUNDED_ERANGE;
  if (dest == nullptr) return BOUNDED_EINVAL;
  if (src == nullptr) return ResetString(dest, BOUNDED_EINVAL_AND_RESET);
  size_t length = strnlen(src, destMax);
  if (length >= destMax) return ResetString(dest, BOUNDED_ERANGE_AND_RESET);
  if (dest == src) return BOUNDED_OK;
  if (Overlaps(dest, src, length + 1)) return ResetString(dest, BOUNDED_EOVERLAP_AND_RESET);
  std::memcpy(dest, src, length + 1);
  return BOUNDED_OK;
}

int strncpy_s(char* dest, size_t destMax, const char* src, size_t count) {
  if (IsBadDestSize(destMax)) return BOUNDED_ERANGE;
  if (dest == nullptr) return BOUNDED_EINVAL;
  if (src == nullptr) return ResetString(dest, BOUNDED_EINVAL_AND_RESET);
  if (count > BOUNDED_SIZE_MAX) return ResetString(dest, BOUNDED_ERANGE_AND_RESET);
  if (count == 0) return ResetString(dest, BOUNDED_OK);
  // When count < destMax the result always fits; otherwise the source must
  // end inside the destination.
  size_t copied = strnlen(src, count < destMax ? count : destMax);
  if (count >= destMax && copied >= destMax) {
    return ResetString(dest, BOUNDED_ERANGE_AND_RESET);
  }
  if (dest != src && OverlapsOrTouches(dest, src, copied)) {
    return ResetString(dest, BOUNDED_EOVERLAP_AND_RESET);
  }
  if (dest != src) std::memcpy(dest, src, copied);
  dest[copied] = '\0';
  return BOUNDED_OK;
}

}  // namespace bounded
