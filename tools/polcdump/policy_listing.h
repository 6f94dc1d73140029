// polcdump's two text forms of a binary policy: the listing of every section
// and the counts of each.
//
// Listing: one header line per section ("<section> <count>"), then one line
// per entry, opened by a tab, with names instead of numbers wherever the
// image allows. Entries are sorted by their text (symbols by value), so two
// listings compare well with diff. Values that name nothing are shown as
// "#<value>", unknown classes as "class#<index>", operation bits without a
// name in hex.
#pragma once

#include <ostream>

#include "tools/image/policy_image.h"

void WritePolicyListing(const PolicyImage& image, std::ostream& out);

// "<section> <count>" lines, in the listing's section order.
void WritePolicyStats(const PolicyImage& image, std::ostream& out);
