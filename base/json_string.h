// Texts as JSON strings: as polc's reader takes them, for polcdump's policy
// source and polcq's access fragments and diff entries, and as any JSON
// reader takes them, for the reports of polclint and the language server.
#pragma once

#include <string>
#include <string_view>

// `text` as a JSON string for polc's reader: in quotes, with '"' and '\'
// escaped and bytes below 0x20 written as \u00XX; other bytes stay as they are.
std::string QuoteJsonString(const std::string& text);
// Appends QuoteJsonString(text) to `quoted`.
void AppendJsonString(std::string& quoted, std::string_view text);

// Appends `text` as a JSON string that any JSON reader takes: like
// AppendJsonString, but a byte that is no part of well-formed UTF-8 becomes
// U+FFFD, since policy names may hold any byte and reports must stay JSON.
void AppendUtf8JsonString(std::string& quoted, std::string_view text);
