// Texts as JSON strings, as polc's reader takes them: polcdump's policy
// source, polcq's access fragments and diff entries.
#pragma once

#include <string>
#include <string_view>

// `text` as a JSON string for polc's reader: in quotes, with '"' and '\'
// escaped and bytes below 0x20 written as \u00XX; other bytes stay as they are.
std::string QuoteJsonString(const std::string& text);
// Appends QuoteJsonString(text) to `quoted`.
void AppendJsonString(std::string& quoted, std::string_view text);
