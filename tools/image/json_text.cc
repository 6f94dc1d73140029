#include "tools/image/json_text.h"

#include <cstdio>

std::string QuoteJsonString(const std::string& text) {
  std::string quoted;
  AppendJsonString(quoted, text);
  return quoted;
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
