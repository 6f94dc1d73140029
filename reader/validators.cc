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
#include "reader/diagnostic_codes.h"

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

// Whether each name of one file is defined there: the form of a name comes
// from the run-wide NameForms, the file's own sets say whether it defines it.
class ContextStatuses {
 public:
  ContextStatuses(const PolicyModel& fileModel, NameForms& forms, Diagnostics& diagnostics,
                  const std::string& file)
      : model(fileModel), forms(forms), diagnostics(diagnostics), file(file) {
    forms.StartFile();
  }

  bool Fails(NameId id) {
    return forms.FailsInFile(model.names, id, [this](NameId name) {
      return !forms.IsValid(model.names, name) || !DefinedInFile(model, name);
    });
  }
  // Reports why `id` fails and returns false.
  bool Report(NameId id) { return ReportText(model.names.Text(id)); }
  // The same for a name that is not in the pool, when it fails.
  bool Defined(std::string_view name) {
    return StatusOfText(model, name) == NameStatus::DEFINED || ReportText(name);
  }
  const NamePool& Names() const { return model.names; }

 private:
  bool ReportText(std::string_view name) {
    std::optional<Fault> fault = ContextNameFault(name);
    ReportFileFault(diagnostics, file, fault.has_value() ? *fault : UndefinedNameFault(name));
    return false;
  }

  const PolicyModel& model;
  NameForms& forms;
  Diagnostics& diagnostics;
  const std::string& file;
};

// Whether the context of every entry of a labeling map of texts is defined;
// the maps are ordered, so the first failure is the one to report.
template <typename Map>
bool ContextsDefined(const Map& map, ContextStatuses& statuses) {
  return std::all_of(map.begin(), map.end(),
                     [&statuses](const auto& entry) { return statuses.Defined(entry.second); });
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

int ReportFileFault(Diagnostics& diagnostics, const std::string& file, Fault fault) {
  Diagnostic diagnostic;
  diagnostic.code = fault.code;
  diagnostic.place.file = file;
  diagnostic.message = std::move(fault.message);
  if (!fault.logLine.empty()) diagnostic.trace.push_back(std::move(fault.logLine));
  diagnostics.Add(std::move(diagnostic));
  return -1;
}

std::optional<Fault> ContextNameFault(std::string_view name) {
  switch (FormOf(name)) {
    case NameStatus::BAD_LENGTH:
      return Fault{code::INVALID_NAME,
                   name.empty() ? "empty name"
                                : Format("name longer than %zu bytes", MAX_CONTEXT_NAME_LENGTH),
                   ""};
    case NameStatus::BAD_PATTERN: {
      const std::string shown = MaskControlChars(name);
      return Fault{
          code::INVALID_NAME,
          Format("invalid name \"%s\": a name holds letters, digits and - _ . /", shown.c_str()),
          Format("[JsonParser][Invalid context][context=%s]\n", shown.c_str())};
    }
    default:
      return std::nullopt;
  }
}

Fault UndefinedNameFault(std::string_view name) {
  const std::string shown = MaskControlChars(name);
  return {code::UNDEFINED_NAME, Format("undefined name \"%s\"", shown.c_str()),
          Format("[JsonParser][Undefined context][context=%s]\n", shown.c_str())};
}

Fault UnknownClassFault(std::string_view cls, RuleKind kind) {
  const std::string shown = MaskControlChars(cls);
  return {code::UNKNOWN_CLASS, Format("unknown class \"%s\"", shown.c_str()),
          Format(kind == RuleKind::GRANT
                     ? "[JsonParser][Undefined class in grant rule][class=%s]\n"
                     : "[JsonParser][Undefined class in transition rule][class=%s]\n",
                 shown.c_str())};
}

Fault UnknownOperationFault(std::string_view cls, std::string_view operation) {
  const std::string shownClass = MaskControlChars(cls);
  const std::string shownOperation = MaskControlChars(operation);
  return {
      code::UNKNOWN_OPERATION,
      Format("class \"%s\" has no operation \"%s\"", shownClass.c_str(), shownOperation.c_str()),
      Format("[JsonParser][Undefined operation for current class][class=%s, operation=%s]\n",
             shownClass.c_str(), shownOperation.c_str())};
}

Fault UnknownSidFault(std::string_view sid) {
  const std::string shown = MaskControlChars(sid);
  return {
      code::UNKNOWN_SID,
      Format("unknown initial sid \"%s\": it is kernel, varo, unlabeled or proc", shown.c_str()),
      Format("[JsonParser][Undefined initial sid string][sid=%s]\n", shown.c_str())};
}

Fault TooManyNamesFault() {
  return {code::TOO_MANY_NAMES,
          Format("more than %zu types and attributes in the policy", MAX_TYPES_AND_ATTRS),
          Format("[JsonParser][The number of types exceeds the maximum limit][max=%u]\n",
                 static_cast<unsigned>(MAX_TYPES_AND_ATTRS))};
}

Fault UnresolvedRequireFault(std::string_view name) {
  const std::string shown = MaskControlChars(name);
  return {code::UNRESOLVED_REQUIRE,
          Format("\"%s\" is required but no file declares it", shown.c_str()),
          Format("[JsonParser][Undefined context in the require section][context=%s]\n",
                 shown.c_str())};
}

Fault TypeAndAttributeFault(std::string_view name) {
  const std::string shown = MaskControlChars(name);
  return {code::TYPE_AND_ATTRIBUTE,
          Format("\"%s\" is declared both as a type and as an attribute", shown.c_str()),
          Format("[JsonParser][Repeated context in the type and attr section][context=%s]\n",
                 shown.c_str())};
}

std::optional<Fault> FilePathFault(std::string_view path) {
  if (path.size() <= MAX_FILE_PATH_LENGTH && IsSafeString(path) && MatchesPathStart(path)) {
    return std::nullopt;
  }
  const std::string shown = MaskControlChars(path);
  if (path.size() > MAX_FILE_PATH_LENGTH) {
    return Fault{code::INVALID_PATH, Format("path longer than %zu bytes", MAX_FILE_PATH_LENGTH),
                 Format("[JsonParser][Exceed the maximum path length limit][path=%s, max=%u]\n",
                        shown.c_str(), static_cast<unsigned>(MAX_FILE_PATH_LENGTH))};
  }
  if (!IsSafeString(path)) {
    return Fault{
        code::INVALID_PATH,
        Format("path \"%s\" holds a control character or one of | ; & $ > < ` \\ ! ' \"",
               shown.c_str()),
        Format("[JsonParser][The path is at risk of command injection][path=%s]\n", shown.c_str())};
  }
  return Fault{
      code::INVALID_PATH,
      Format("path \"%s\" must start with \"/\" (or letters, \":\" and \"/\")", shown.c_str()),
      Format("[JsonParser][The path must start with a slash][path=%s]\n", shown.c_str())};
}

bool NameForms::IsValid(const NamePool& names, NameId id) {
  if (id >= forms.size()) forms.resize(names.size(), Form::UNKNOWN);
  if (forms[id] == Form::UNKNOWN) {
    forms[id] = FormOf(names.Text(id)) == NameStatus::WELL_FORMED ? Form::VALID : Form::INVALID;
  }
  return forms[id] == Form::VALID;
}

int CheckDeclaredNames(const PolicyModel& fileModel, NameForms& forms, Diagnostics& diagnostics,
                       const std::string& file) {
  const NamePool& names = fileModel.names;
  for (const NameIdSet* set : {&fileModel.types, &fileModel.attrs, &fileModel.requires_}) {
    FirstInKeyOrder<NameId, ByText> invalid(ByText{names});
    for (const NameId id : set->Ids()) {
      if (!forms.IsValid(names, id)) invalid.Offer(id);
    }
    if (invalid.Get() != nullptr) {
      return ReportFileFault(diagnostics, file, *ContextNameFault(names.Text(*invalid.Get())));
    }
  }
  return 0;
}

int CheckContextReferences(const PolicyModel& fileModel, NameForms& forms, Diagnostics& diagnostics,
                           const std::string& file) {
  ContextStatuses statuses(fileModel, forms, diagnostics, file);
  const bool defined = TypeAttrsDefined(fileModel.typeAttrMap, statuses) &&
                       FileContextsDefined(fileModel, statuses) &&
                       ContextsDefined(fileModel.initialSids, statuses) &&
                       ContextsDefined(fileModel.netifs, statuses) &&
                       ContextsDefined(fileModel.packets, statuses) &&
                       RuleNamesDefined(fileModel.grantRules, statuses) &&
                       RuleNamesDefined(fileModel.transitionRules, statuses);
  return defined ? 0 : -1;
}

int CheckFilePaths(const PolicyModel& fileModel, Diagnostics& diagnostics,
                   const std::string& file) {
  const NamePool& paths = fileModel.paths;
  FirstInKeyOrder<NameId, ByText> failing(ByText{paths});
  for (const auto& [path, context] : fileModel.fileContexts) {
    if (FilePathFault(paths.Text(path)).has_value()) failing.Offer(path);
  }
  if (failing.Get() == nullptr) return 0;
  return ReportFileFault(diagnostics, file, *FilePathFault(paths.Text(*failing.Get())));
}

std::optional<Fault> ParseAddressPrefix(std::string_view text, AddressPrefix& out) {
  const std::string shown = MaskControlChars(text);
  if (!MatchesAddressPrefix(text)) {
    return Fault{code::INVALID_ADDRESS,
                 Format("invalid address prefix \"%s\": expected a.b.c.d/n", shown.c_str()),
                 Format("[JsonParser][Invalid address][address=%s]\n", shown.c_str())};
  }
  const size_t slash = text.find('/');
  const std::string address(text.substr(0, slash));
  // inet_pton reports failure out of band, so 255.255.255.255 converts like
  // any other address.
  in_addr converted{};
  if (inet_pton(AF_INET, address.c_str(), &converted) != 1) {
    const std::string shownAddress = MaskControlChars(address);
    return Fault{
        code::INVALID_ADDRESS, Format("address \"%s\" does not convert", shownAddress.c_str()),
        Format("[JsonParser][Convert the address error][address=%s]\n", shownAddress.c_str())};
  }
  const std::string_view prefix = text.substr(slash + 1);
  uint32_t prefixLength = 0;
  std::from_chars(prefix.data(), prefix.data() + prefix.size(), prefixLength);
  out = AddressPrefix{ntohl(converted.s_addr), prefixLength};
  return std::nullopt;
}

std::optional<Fault> ParsePortRange(std::string_view text, PortRange& out) {
  const std::string shown = MaskControlChars(text);
  if (!MatchesPortRange(text)) {
    return Fault{code::INVALID_PORT_RANGE,
                 Format("invalid port range \"%s\": expected p or p-q", shown.c_str()),
                 Format("[JsonParser][Invalid port range][range=%s]\n", shown.c_str())};
  }
  const size_t hyphen = text.find('-');
  const long start = PortValue(text.substr(0, hyphen));
  const long end = hyphen == std::string_view::npos ? start : PortValue(text.substr(hyphen + 1));
  if (start > MAX_PORT || end < start || end > MAX_PORT) {
    return Fault{code::INVALID_PORT_RANGE,
                 Format("port range \"%s\" must lie within 0-65535 and not end before it starts",
                        shown.c_str()),
                 Format("[JsonParser][Invalid port range][start=%d, end=%d]\n",
                        static_cast<int>(start), static_cast<int>(end))};
  }
  out = PortRange{static_cast<uint16_t>(start), static_cast<uint16_t>(end)};
  return std::nullopt;
}
