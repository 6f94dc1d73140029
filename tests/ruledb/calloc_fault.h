// Makes a chosen allocation fail. The test program is linked with calloc
// wrapped, so every calloc of the rule database and the compiler passes
// through here; other wrapped allocators join the same count through
// AllocationFails.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ruledb_test {

// While the object lives, the n-th counted allocation (counting from 1), on
// whichever thread, and only that one returns null. A calloc of `uncountedFrom` bytes or more is
// neither counted nor failed: for blocks whose failure ends the process by
// design.
class CallocFault {
 public:
  explicit CallocFault(long n, size_t uncountedFrom = SIZE_MAX);
  ~CallocFault();
  CallocFault(const CallocFault&) = delete;
  CallocFault& operator=(const CallocFault&) = delete;

  // Whether the chosen call has happened.
  bool Fired() const;
};

// Counts one allocation against the armed fault; true for the one that must
// fail. Always false while no CallocFault lives.
bool AllocationFails();

}  // namespace ruledb_test
