// malloc joins the count of the armed CallocFault. The test program is
// linked with malloc wrapped, which reaches the JSON library through its
// default allocation hook.
#include <cstddef>

#include "tests/ruledb/calloc_fault.h"

extern "C" void* __real_malloc(size_t size);

extern "C" void* __wrap_malloc(size_t size) {
  return ruledb_test::AllocationFails() ? nullptr : __real_malloc(size);
}
