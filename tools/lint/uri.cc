#include "tools/lint/uri.h"

#include <cctype>
#include <cstring>

#include "base/diagnostic.h"

namespace {

int HexDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
}

}  // namespace

std::string PercentEncoded(std::string_view path) {
  std::string uri;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || std::strchr("-._~/", c) != nullptr) {
      uri += c;
    } else {
      uri += Format("%%%02X", byte);
    }
  }
  return uri;
}

std::string PathOfUri(std::string_view uri) {
  constexpr std::string_view SCHEME = "file://";
  if (uri.substr(0, SCHEME.size()) == SCHEME) uri.remove_prefix(SCHEME.size());
  if (uri.substr(0, 9) == "localhost") uri.remove_prefix(9);
  std::string path;
  for (size_t i = 0; i < uri.size(); ++i) {
    const bool escaped = uri[i] == '%' && i + 2 < uri.size() &&
                         std::isxdigit(static_cast<unsigned char>(uri[i + 1])) &&
                         std::isxdigit(static_cast<unsigned char>(uri[i + 2]));
    if (escaped) {
      path += static_cast<char>(HexDigit(uri[i + 1]) * 16 + HexDigit(uri[i + 2]));
      i += 2;
    } else {
      path += uri[i];
    }
  }
  return path;
}

std::string UriOfPath(std::string_view path) { return "file://" + PercentEncoded(path); }
