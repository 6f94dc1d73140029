#include "reader/validators.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"

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

enum class PathProblem { NONE, TOO_LONG, UNSAFE, BAD_START };

PathProblem FindPathProblem(std::string_view path) {
  if (path.size() > MAX_FILE_PATH_LENGTH) return PathProblem::TOO_LONG;
  if (!IsSafeString(path)) return PathProblem::UNSAFE;
  if (!MatchesPathStart(path)) return PathProblem::BAD_START;
  return PathProblem::NONE;
}

void LogPathProblem(std::string_view path, PathProblem problem) {
  const std::string shown = MaskControlChars(path);
  switch (problem) {
    case PathProblem::TOO_LONG:
      Log(LOG_ERR, "[JsonParser][Exceed the maximum path length limit][path=%s, max=%u]\n",
          shown.c_str(), static_cast<unsigned>(MAX_FILE_PATH_LENGTH));
      break;
    case PathProblem::UNSAFE:
      Log(LOG_ERR, "[JsonParser][The path is at risk of command injection][path=%s]\n",
          shown.c_str());
      break;
    case PathProblem::BAD_START:
      Log(LOG_ERR, "[JsonParser][The path must start with a slash][path=%s]\n", shown.c_str());
      break;
    case PathProblem::NONE:
      break;
  }
}

// What is wrong with a name that a file uses as a context.
enum class NameStatus : uint8_t {
  WELL_FORMED,  // a valid context name, not looked up
  DEFINED,      // a valid context name that the file defines
  BAD_LENGTH,
  BAD_PATTERN,
  UNDEFINED,
};

NameStatus FormOf(std::string_view name) {
  if (name.empty() || name.size() > MAX_CONTEXT_NAME_LENGTH) return NameStatus::BAD_LENGTH;
  if (!MatchesContextName(name)) return NameStatus::BAD_PATTERN;
  return NameStatus::WELL_FORMED;
}

bool DefinedInFile(const PolicyModel& fileModel, NameId id) {
  return fileModel.types.Contains(id) || fileModel.attrs.Contains(id) ||
         fileModel.requires_.Contains(id);
}

NameStatus StatusOfText(const PolicyModel& fileModel, std::string_view name) {
  const NameStatus form = FormOf(name);
  if (form != NameStatus::WELL_FORMED) return form;
  const std::optional<NameId> id = fileModel.names.Find(name);
  return id.has_value() && DefinedInFile(fileModel, *id) ? NameStatus::DEFINED
                                                         : NameStatus::UNDEFINED;
}

// Logs what CheckContextDefined logs for a name of this status.
void LogNameStatus(std::string_view name, NameStatus status) {
  if (status == NameStatus::BAD_PATTERN) {
    Log(LOG_ERR, "[JsonParser][Invalid context][context=%s]\n", MaskControlChars(name).c_str());
  } else if (status == NameStatus::UNDEFINED) {
    Log(LOG_ERR, "[JsonParser][Undefined context][context=%s]\n", MaskControlChars(name).c_str());
  }
}

// Whether each name of one file is defined there: the form of a name comes
// from the run-wide NameForms, the file's own sets say whether it defines it.
class ContextStatuses {
 public:
  ContextStatuses(const PolicyModel& fileModel, NameForms& forms)
      : model(fileModel), forms(forms) {}

  bool Fails(NameId id) { return !forms.IsValid(model.names, id) || !DefinedInFile(model, id); }
  // Logs the failure of `id` and returns false, as CheckContextDefined does.
  bool Report(NameId id) {
    const std::string_view name = model.names.Text(id);
    LogNameStatus(name, StatusOfText(model, name));
    return false;
  }
  const NamePool& Names() const { return model.names; }

 private:
  const PolicyModel& model;
  NameForms& forms;
};

// Whether the context of every entry of a labeling map of texts is defined;
// the maps are ordered, so the first failure is the one to report.
template <typename Map>
bool ContextsDefined(const PolicyModel& fileModel, const Map& map) {
  return std::all_of(map.begin(), map.end(), [&fileModel](const auto& entry) {
    return CheckContextDefined(fileModel, entry.second);
  });
}

// The typeattr entries: the first name in key order that fails itself or
// through one of its attributes; then the name, or its first failing
// attribute in name order, is reported.
bool TypeAttrsDefined(const TypeAttrMap& typeAttrMap, ContextStatuses& statuses) {
  const NamePool& names = statuses.Names();
  FirstInKeyOrder<NameId, ByText> failing(ByText{names});
  for (const NameId name : typeAttrMap.names.Ids()) {
    if (statuses.Fails(name)) failing.Offer(name);
  }
  for (const TypeAttrLink& link : typeAttrMap.links) {
    if (statuses.Fails(link.attr)) failing.Offer(link.name);
  }
  const NameId* name = failing.Get();
  if (name == nullptr) return true;
  if (statuses.Fails(*name)) return statuses.Report(*name);
  FirstInKeyOrder<NameId, ByText> attr(ByText{names});
  for (const TypeAttrLink& link : typeAttrMap.links) {
    if (link.name == *name && statuses.Fails(link.attr)) attr.Offer(link.attr);
  }
  return statuses.Report(*attr.Get());
}

// The file contexts: the context of the first path in key order whose
// context fails.
bool FileContextsDefined(const PolicyModel& fileModel, ContextStatuses& statuses) {
  const NamePool& paths = fileModel.paths;
  using Entry = FileContextMap::Entry;
  const auto pathLess = [&paths](const Entry& a, const Entry& b) {
    return paths.Less(a.path, b.path);
  };
  FirstInKeyOrder<Entry, decltype(pathLess)> failing(pathLess);
  for (const Entry& entry : fileModel.fileContexts) {
    if (statuses.Fails(entry.context)) failing.Offer(entry);
  }
  return failing.Get() == nullptr || statuses.Report(failing.Get()->context);
}

// A rule's key and the names of it that must be defined, in check order.
struct RuleNames {
  RuleKey key;
  std::array<NameId, 3> checked;
  size_t count;
};

RuleNames NamesOf(const GrantRule& rule) {
  return {rule.key, {rule.key.subject, rule.key.object}, 2};
}

RuleNames NamesOf(const std::pair<const RuleKey, NameId>& transition) {
  const RuleKey& key = transition.first;
  return {key, {key.subject, key.object, transition.second}, 3};
}

// The first failing name of a rule, in check order.
std::optional<NameId> FirstFailingName(const RuleNames& rule, ContextStatuses& statuses) {
  for (size_t i = 0; i < rule.count; ++i) {
    if (statuses.Fails(rule.checked[i])) return rule.checked[i];
  }
  return std::nullopt;
}

// Rules of one kind: the first rule in key order with a failing name; its
// first failing name is reported.
template <typename Rules>
bool RuleNamesDefined(const Rules& rules, ContextStatuses& statuses) {
  const NamePool& names = statuses.Names();
  const auto ruleLess = [&names](const RuleNames& a, const RuleNames& b) {
    return RuleKeyLess(names, a.key, b.key);
  };
  FirstInKeyOrder<RuleNames, decltype(ruleLess)> failing(ruleLess);
  for (const auto& rule : rules) {
    const RuleNames ruleNames = NamesOf(rule);
    if (FirstFailingName(ruleNames, statuses).has_value()) failing.Offer(ruleNames);
  }
  return failing.Get() == nullptr || statuses.Report(*FirstFailingName(*failing.Get(), statuses));
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
  return ConsumeChar(text, pos, '/') && ConsumeNumber(text, pos, 2, MAX_PREFIX_LENGTH) &&
         pos == text.size();
}

bool MatchesPortRange(std::string_view text) {
  size_t pos = 0;
  if (!ConsumePort(text, pos)) return false;
  if (pos < text.size() && !(ConsumeChar(text, pos, '-') && ConsumePort(text, pos))) return false;
  return pos == text.size();
}

bool IsValidContextName(std::string_view name) {
  const NameStatus form = FormOf(name);
  LogNameStatus(name, form);
  return form == NameStatus::WELL_FORMED;
}

bool CheckContextDefined(const PolicyModel& fileModel, std::string_view name) {
  const NameStatus status = StatusOfText(fileModel, name);
  LogNameStatus(name, status);
  return status == NameStatus::DEFINED;
}

bool NameForms::IsValid(const NamePool& names, NameId id) {
  if (id >= forms.size()) forms.resize(names.size(), Form::UNKNOWN);
  if (forms[id] == Form::UNKNOWN) {
    forms[id] = FormOf(names.Text(id)) == NameStatus::WELL_FORMED ? Form::VALID : Form::INVALID;
  }
  return forms[id] == Form::VALID;
}

int CheckDeclaredNames(const PolicyModel& fileModel, NameForms& forms) {
  const NamePool& names = fileModel.names;
  for (const NameIdSet* set : {&fileModel.types, &fileModel.attrs, &fileModel.requires_}) {
    FirstInKeyOrder<NameId, ByText> invalid(ByText{names});
    for (const NameId id : set->Ids()) {
      if (!forms.IsValid(names, id)) invalid.Offer(id);
    }
    if (invalid.Get() != nullptr) {
      IsValidContextName(names.Text(*invalid.Get()));  // logs why
      return -1;
    }
  }
  return 0;
}

int CheckContextReferences(const PolicyModel& fileModel, NameForms& forms) {
  ContextStatuses statuses(fileModel, forms);
  const bool defined = TypeAttrsDefined(fileModel.typeAttrMap, statuses) &&
                       FileContextsDefined(fileModel, statuses) &&
                       ContextsDefined(fileModel, fileModel.initialSids) &&
                       ContextsDefined(fileModel, fileModel.netifs) &&
                       ContextsDefined(fileModel, fileModel.packets) &&
                       RuleNamesDefined(fileModel.grantRules, statuses) &&
                       RuleNamesDefined(fileModel.transitionRules, statuses);
  return defined ? 0 : -1;
}

int CheckFilePaths(const PolicyModel& fileModel) {
  const NamePool& paths = fileModel.paths;
  FirstInKeyOrder<NameId, ByText> failing(ByText{paths});
  for (const auto& [path, context] : fileModel.fileContexts) {
    if (FindPathProblem(paths.Text(path)) != PathProblem::NONE) failing.Offer(path);
  }
  if (failing.Get() == nullptr) return 0;
  const std::string_view path = paths.Text(*failing.Get());
  LogPathProblem(path, FindPathProblem(path));
  return -1;
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
