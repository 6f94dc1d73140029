#include "reader/validators.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <string>

#include "reader/log.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsContextChar(char c) {
  return IsAsciiLetter(c) || IsDigit(c) || c == '-' || c == '_' || c == '.' || c == '/';
}

// Length of the run of decimal digits at `pos`.
size_t DigitRun(std::string_view text, size_t pos) {
  size_t end = pos;
  while (end < text.size() && IsDigit(text[end])) ++end;
  return end - pos;
}

// Consumes at `pos` a decimal number of at most `maxDigits` digits, without a
// leading zero unless it is "0", and not above `maxValue`. Only whole digit
// runs are taken: in the address pattern neighbouring digits can never
// belong to different numbers, since the word boundary after each octet
// needs a non-digit on one side.
bool ConsumeNumber(std::string_view text, size_t& pos, size_t maxDigits, unsigned maxValue) {
  const size_t digits = DigitRun(text, pos);
  if (digits == 0 || digits > maxDigits || (digits > 1 && text[pos] == '0')) return false;
  unsigned value = 0;
  std::from_chars(text.data() + pos, text.data() + pos + digits, value);
  pos += digits;
  return value <= maxValue;
}

bool ConsumeChar(std::string_view text, size_t& pos, char expected) {
  if (pos >= text.size() || text[pos] != expected) return false;
  ++pos;
  return true;
}

// Consumes one to five digits (leading zeros allowed).
bool ConsumePort(std::string_view text, size_t& pos) {
  const size_t digits = DigitRun(text, pos);
  pos += digits;
  return digits >= 1 && digits <= 5;
}

// The value of a text of at most five digits.
long PortValue(std::string_view digits) {
  long value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

// Whether the mapped value (a context) of every entry of `map` is defined.
template <typename Map>
bool ContextsDefined(const PolicyModel& fileModel, const Map& map) {
  return std::all_of(map.begin(), map.end(), [&fileModel](const auto& entry) {
    return CheckContextDefined(fileModel, entry.second);
  });
}

bool AllDefined(const PolicyModel& fileModel, const NameSet& names) {
  return std::all_of(names.begin(), names.end(), [&fileModel](const std::string& name) {
    return CheckContextDefined(fileModel, name);
  });
}

int CheckFilePath(std::string_view path) {
  if (path.size() > MAX_FILE_PATH_LENGTH) {
    Log(LOG_ERR, "[JsonParser][Exceed the maximum path length limit][path=%s, max=%u]\n",
        MaskControlChars(path).c_str(), static_cast<unsigned>(MAX_FILE_PATH_LENGTH));
    return -1;
  }
  if (!IsSafeString(path)) {
    Log(LOG_ERR, "[JsonParser][The path is at risk of command injection][path=%s]\n",
        MaskControlChars(path).c_str());
    return -1;
  }
  if (!MatchesPathStart(path)) {
    Log(LOG_ERR, "[JsonParser][The path must start with a slash][path=%s]\n",
        MaskControlChars(path).c_str());
    return -1;
  }
  return 0;
}

}  // namespace

bool MatchesContextName(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsContextChar);
}

bool MatchesPathStart(std::string_view text) {
  if (!text.empty() && text[0] == '/') return true;
  size_t pos = 0;
  while (pos < text.size() && IsAsciiLetter(text[pos])) ++pos;
  return pos > 0 && ConsumeChar(text, pos, ':') && ConsumeChar(text, pos, '/');
}

bool MatchesAddressPrefix(std::string_view text) {
  size_t pos = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0 && !ConsumeChar(text, pos, '.')) return false;
    if (!ConsumeNumber(text, pos, 3, 255)) return false;
  }
  return ConsumeChar(text, pos, '/') && ConsumeNumber(text, pos, 2, 32) && pos == text.size();
}

bool MatchesPortRange(std::string_view text) {
  size_t pos = 0;
  if (!ConsumePort(text, pos)) return false;
  if (pos < text.size() && !(ConsumeChar(text, pos, '-') && ConsumePort(text, pos))) return false;
  return pos == text.size();
}

bool IsValidContextName(std::string_view name) {
  if (name.empty() || name.size() > MAX_CONTEXT_NAME_LENGTH) return false;
  if (!MatchesContextName(name)) {
    Log(LOG_ERR, "[JsonParser][Invalid context][context=%s]\n", MaskControlChars(name).c_str());
    return false;
  }
  return true;
}

bool CheckContextDefined(const PolicyModel& fileModel, std::string_view name) {
  if (!IsValidContextName(name)) return false;
  if (fileModel.types.contains(name) || fileModel.attrs.contains(name) ||
      fileModel.requires_.contains(name)) {
    return true;
  }
  Log(LOG_ERR, "[JsonParser][Undefined context][context=%s]\n", MaskControlChars(name).c_str());
  return false;
}

int CheckDeclaredNames(const PolicyModel& fileModel) {
  for (const NameSet* names : {&fileModel.types, &fileModel.attrs, &fileModel.requires_}) {
    if (!std::all_of(names->begin(), names->end(),
                     [](const std::string& name) { return IsValidContextName(name); })) {
      return -1;
    }
  }
  return 0;
}

int CheckContextReferences(const PolicyModel& fileModel) {
  for (const auto& [name, attributes] : fileModel.typeAttrMap) {
    if (!CheckContextDefined(fileModel, name) || !AllDefined(fileModel, attributes)) return -1;
  }
  if (!ContextsDefined(fileModel, fileModel.fileContexts) ||
      !ContextsDefined(fileModel, fileModel.initialSids) ||
      !ContextsDefined(fileModel, fileModel.netifs) ||
      !ContextsDefined(fileModel, fileModel.packets)) {
    return -1;
  }
  for (const auto& [key, operations] : fileModel.grantRules) {
    if (!CheckContextDefined(fileModel, key.subject) ||
        !CheckContextDefined(fileModel, key.object)) {
      return -1;
    }
  }
  for (const auto& [key, target] : fileModel.transitionRules) {
    if (!CheckContextDefined(fileModel, key.subject) ||
        !CheckContextDefined(fileModel, key.object) || !CheckContextDefined(fileModel, target)) {
      return -1;
    }
  }
  return 0;
}

int CheckFilePaths(const PolicyModel& fileModel) {
  for (const auto& [path, context] : fileModel.fileContexts) {
    if (CheckFilePath(path) != 0) return -1;
  }
  return 0;
}

int ParseAddressPrefix(std::string_view text, AddressPrefix& out) {
  if (!MatchesAddressPrefix(text)) {
    Log(LOG_ERR, "[JsonParser][Invalid address][address=%s]\n", MaskControlChars(text).c_str());
    return -1;
  }
  const size_t slash = text.find('/');
  const std::string address(text.substr(0, slash));
  // inet_pton reports failure out of band, so 255.255.255.255 converts like
  // any other address.
  in_addr converted{};
  if (inet_pton(AF_INET, address.c_str(), &converted) != 1) {
    Log(LOG_ERR, "[JsonParser][Convert the address error][address=%s]\n",
        MaskControlChars(address).c_str());
    return -1;
  }
  const std::string_view prefix = text.substr(slash + 1);
  uint32_t prefixLength = 0;
  std::from_chars(prefix.data(), prefix.data() + prefix.size(), prefixLength);
  out = AddressPrefix{ntohl(converted.s_addr), prefixLength};
  return 0;
}

int ParsePortRange(std::string_view text, PortRange& out) {
  if (!MatchesPortRange(text)) {
    Log(LOG_ERR, "[JsonParser][Invalid port range][range=%s]\n", MaskControlChars(text).c_str());
    return -1;
  }
  const size_t hyphen = text.find('-');
  const long start = PortValue(text.substr(0, hyphen));
  const long end = hyphen == std::string_view::npos ? start : PortValue(text.substr(hyphen + 1));
  if (start > MAX_PORT || end < start || end > MAX_PORT) {
    Log(LOG_ERR, "[JsonParser][Invalid port range][start=%d, end=%d]\n", static_cast<int>(start),
        static_cast<int>(end));
    return -1;
  }
  out = PortRange{static_cast<uint16_t>(start), static_cast<uint16_t>(end)};
  return 0;
}
