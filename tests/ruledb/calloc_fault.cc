#include "tests/ruledb/calloc_fault.h"

#include <atomic>

extern "C" void* __real_calloc(size_t count, size_t size);

namespace {

// Counted over all threads: the reader loads files and the compiler fills
// the rule table on threads of their own, and their allocations fail as
// any other. Which thread makes the n-th call may then vary from run to
// run; a test that needs a fixed order runs its steps on one thread.
std::atomic<long> callsLeft = -1;  // calls before the failing one; negative: no fault armed
std::atomic<size_t> uncountedFrom = SIZE_MAX;  // bytes from which calloc passes uncounted

}  // namespace

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  size_t bytes = 0;
  const bool uncounted = __builtin_mul_overflow(count, size, &bytes) || bytes >= uncountedFrom;
  if (!uncounted && ruledb_test::AllocationFails()) {
    return nullptr;
  }
  return __real_calloc(count, size);
}

namespace ruledb_test {

CallocFault::CallocFault(long n, size_t uncounted) {
  callsLeft = n - 1;
  uncountedFrom = uncounted;
}

CallocFault::~CallocFault() {
  callsLeft = -1;
  uncountedFrom = SIZE_MAX;
}

bool CallocFault::Fired() const { return callsLeft < 0; }

bool AllocationFails() { return callsLeft.load() >= 0 && callsLeft.fetch_sub(1) == 0; }

}  // namespace ruledb_test
