// polcdump and polcq on arbitrary bytes: read the image, then every form of
// output, every expansion, the diff of the image with itself, which must
// find nothing, and with itself less a rule, which must find something.
// Whatever the bytes, nothing may read outside them, crash or leak; and the
// fast parse takes exactly the bytes that the database's reader reads and
// writes back alike (but for the version, and rules of a kind beyond the
// order key's field), giving what that reader gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "ruledb/policy_binary.h"
#include "ruledb/rule_order.h"
#include "tools/image/policy_image.h"
#include "tools/polcdump/policy_listing.h"
#include "tools/polcdump/policy_source.h"
#include "tools/polcq/policy_diff.h"
#include "tools/polcq/policy_query.h"
#include "tools/polcq/query_access.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  PolicyImage image;
  const bool readFlat = ReadPolicyImageFlat(bytes, image);
  PolicyImage reference;
  const bool readByDatabase =
      ReadPolicyImageByDatabase(bytes, reference, RewriteCheck::YES).empty();
  // The fast parse takes exactly what the database reads and writes back
  // alike, but for the version, which the writer sets, and kinds its order
  // key cannot hold.
  const bool keysFit = std::all_of(reference.rules.begin(), reference.rules.end(),
                                   [](const RuleRecord& rule) { return RuleOrderFits(rule.key); });
  if ((readFlat && image.version == POLICY_VERSION) !=
      (readByDatabase && *reference.rewritesIdentically && keysFit)) {
    std::abort();
  }
  image.rewritesIdentically = reference.rewritesIdentically;
  if (readFlat && image != reference) std::abort();
  if (!ReadPolicyImage(bytes, image, RewriteCheck::YES).empty()) return 0;
  std::ostringstream sink;
  WritePolicyListing(image, sink);
  WritePolicyStats(image, sink);
  WritePolicySource(image, sink);
  QueryPolicy policy;
  if (!policy.Adopt(image).empty()) return 0;
  WriteEffects(policy, {}, RULE_GRANT, true, sink);
  WriteEffects(policy, {}, RULE_TRANSITION, true, sink);
  WriteAccessSource(policy, {}, sink);
  if (WritePolicyDiff(policy, policy, {true, false}, sink)) std::abort();
  // A change for diff --effective to follow: the first rule in name order gone.
  PolicyImage changed = policy.Image();
  if (changed.rules.empty()) return 0;
  changed.rules.erase(changed.rules.begin());
  QueryPolicy other;
  if (!other.Adopt(std::move(changed)).empty() ||
      !WritePolicyDiff(policy, other, {true, false}, sink)) {
    std::abort();
  }
  return 0;
}
