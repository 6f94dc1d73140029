// The whole pipeline on arbitrary bytes as one policy source file. Whatever
// the bytes, nothing may crash, leak or read out of bounds, and a policy that
// compiles must give an image that reads back and writes again unchanged.
#include <cstddef>
#include <cstdint>

#include "fuzz/policy_pipeline.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  policy_pipeline::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  policy_pipeline::Run(reinterpret_cast<const char*>(data), size);
  return 0;
}
