#include "base/json_string.h"

#include <cstdio>

std::string QuoteJsonString(const std::string& text) {
  std::string quoted;
  AppendJsonString(quoted, text);
  return quoted;
}

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;  // the least second byte, which rules out overlong forms
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[at + i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

}  // namespace

void AppendUtf8JsonString(std::string& quoted, std::string_view text) {
  std::string wellFormed;
  for (size_t at = 0; at < text.size();) {
    const size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      wellFormed += "\xEF\xBF\xBD";
      ++at;
    } else {
      wellFormed.append(text.substr(at, length));
      at += length;
    }
  }
  AppendJsonString(quoted, wellFormed);
}

void AppendJsonString(std::string& quoted, std::string_view text) {
  quoted += '"';
  size_t plain = 0;  // start of the run of bytes that stay as they are
  for (size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    // Bytes of 0x80 and above are text to polc's JSON reader.
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    quoted.append(text.substr(plain, at - plain));
    plain = at + 1;
    if (byte >= 0x20) {
      quoted += '\\';
      quoted += static_cast<char>(byte);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    }
  }
  quoted.append(text.substr(plain));
  quoted += '"';
}
