// Test helper: the inverse of ReadPolicyImage. Builds a RuleDataBase from a
// PolicyImage description the way the compiler does (tables sized from the
// record counts, lists in the given order) and writes it with
// RuleDataBaseWrite, so crafted but well-formed images need no hand-made
// hash order.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/policy_image.h"

// The image of `description`. `version` and `flags` are taken as given, so
// they can disagree with what the writer would put there. Fails the current test when the
// writer refuses.
std::vector<uint8_t> WriteImage(const PolicyImage& description);

// Two types, an attribute, every kind of labeling and both kinds of rule, laid
// out as polc lays them out: file_t 0, init_t 1, domain 2 (the attribute).
PolicyImage SmallPolicyImage();
