// The labeling sections of a binary policy as text: initial sids, netifs,
// packets, file contexts and type attributes, one line per entry with
// symbols by name. polcdump lists them, polcq diff compares them.
#pragma once

#include <string>
#include <vector>

#include "tools/image/policy_image.h"
#include "tools/image/policy_text.h"

// The entries of one section as the listing shows them.
struct ListingSection {
  const char* title;
  std::vector<std::string> lines;
};

enum class LineOrder { SORTED, AS_STORED };

// The listing's sections between the symbols and the rules, whose entries
// name symbols by name only: initial_sids, netifs, packets, file_contexts,
// typeattrs; their lines sorted, or in the order of the image's records.
std::vector<ListingSection> LabelingSections(const PolicyImage& image,
                                             LineOrder order = LineOrder::SORTED);
// The same with the names already shown, made once for the whole output.
std::vector<ListingSection> LabelingSections(const PolicyImage& image, const ShownNames& shown,
                                             LineOrder order = LineOrder::SORTED);
