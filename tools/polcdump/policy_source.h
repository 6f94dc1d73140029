// polcdump --json: a binary policy turned back into one policy source file.
//
// The source declares every symbol, gives every labeling entry and rule, and
// compiles with polc to the very bytes it came from. The binary does not say
// which symbols were types and which attributes; since polc numbers types
// first and attributes after them, each in ascending name order, the symbols
// split into two ascending runs, and the second run (or, when all names
// ascend, the names that other names list as attributes, with everything
// after the first of them) is declared as attributes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "json/json.h"
#include "tools/image/policy_image.h"

// Writes the source to `out` and returns an empty string, or writes nothing
// and returns why no source compiles to this image (for example "packet 2:
// prefix length above 32", or a source longer than `maxBytes`, the most
// polc's JSON reader takes from one file). `image` must have been read with
// RewriteCheck::YES.
std::string WritePolicySource(const PolicyImage& image, std::ostream& out,
                              uint64_t maxBytes = JSON_MAX_TEXT_LENGTH);
