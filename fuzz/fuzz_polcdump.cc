// polcdump on arbitrary bytes: read the image, then every form of output.
// Whatever the bytes, nothing may read outside them, crash or leak.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <vector>

#include "tools/policy_image.h"
#include "tools/policy_listing.h"
#include "tools/policy_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  PolicyImage image;
  if (!ReadPolicyImage(bytes, image).empty()) return 0;
  std::ostringstream sink;
  WritePolicyListing(image, sink);
  WritePolicyStats(image, sink);
  WritePolicySource(image, sink);
  return 0;
}
