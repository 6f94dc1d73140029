#include "tests/ruledb/calloc_fault.h"

#include <cstddef>

extern "C" void* __real_calloc(size_t count, size_t size);

namespace {

long callsLeft = -1;  // calls before the failing one; negative: no fault armed

}  // namespace

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  if (callsLeft >= 0 && callsLeft-- == 0) {
    return nullptr;
  }
  return __real_calloc(count, size);
}

namespace ruledb_test {

CallocFault::CallocFault(long n) { callsLeft = n - 1; }

CallocFault::~CallocFault() { callsLeft = -1; }

bool CallocFault::Fired() const { return callsLeft < 0; }

}  // namespace ruledb_test
