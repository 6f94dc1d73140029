// Fuzz target for the policy source reader: the input is one policy source
// file, read twice in one run so that the merge meets every key again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "reader/json_parser.h"

namespace {

std::string sourcePath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader logs every failure; the fuzzer's own output goes to stderr.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  char pattern[] = "/tmp/fuzz_reader.XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd < 0) std::abort();
  close(fd);
  sourcePath = pattern;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(sourcePath.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
  JsonParser reader;
  reader.ParseJsonFiles({sourcePath, sourcePath});
  return 0;
}
