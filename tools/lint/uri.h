// File paths as URIs, for the reports and the language server.
#pragma once

#include <string>
#include <string_view>

// `path` as a URI reference: every byte but the unreserved ones and "/"
// percent-encoded ("a b/c.json" gives "a%20b/c.json").
std::string PercentEncoded(std::string_view path);

// "file:///a%20b/c.json" and "/a b/c.json".
std::string PathOfUri(std::string_view uri);
std::string UriOfPath(std::string_view path);
