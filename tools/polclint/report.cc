#include "tools/polclint/report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "base/json_string.h"
#include "base/log.h"
#include "reader/source_loader.h"
#include "tools/lint/lint.h"
#include "tools/lint/uri.h"

namespace {

// Where a place stands: line 0 when its file or offset is not known.
struct Position {
  LineColumn at{0, 0};
  std::string line;  // the source line, for the text report
};

// The positions of every place of the diagnostics, each file read once.
class Positions {
 public:
  Positions(std::vector<Diagnostic>& diagnostics, bool withLines) {
    std::map<std::string, std::vector<Diagnostic*>> byFile;
    std::map<std::string, std::vector<uint32_t>> offsets;
    for (Diagnostic& diagnostic : diagnostics) {
      if (diagnostic.place.file.empty()) continue;
      byFile[diagnostic.place.file].push_back(&diagnostic);
      offsets[diagnostic.place.file].push_back(diagnostic.place.offset);
      for (const SourcePlace& related : diagnostic.related) {
        offsets[related.file].push_back(related.offset);
      }
    }
    for (const auto& [file, fileOffsets] : offsets) {
      SourceText text;
      size_t size = 0;
      if (ReadSourceFile(file, text, size) != 0) continue;
      const SourceLines lines(std::string_view(text.get(), size));
      for (const uint32_t offset : fileOffsets) {
        if (offset == NO_OFFSET) continue;
        Position& position = positions[{file, offset}];
        position.at = lines.At(offset);
        if (withLines) position.line = lines.Line(position.at.line);
      }
      PlaceKeyPaths(text.get(), byFile[file]);
    }
  }

  Position Of(const SourcePlace& place) const {
    const auto found = positions.find({place.file, place.offset});
    return found == positions.end() ? Position{} : found->second;
  }

 private:
  std::map<std::pair<std::string, uint32_t>, Position> positions;
};

const char* SeverityName(Severity severity) {
  return severity == Severity::ERROR ? "error" : "warning";
}

// ---- Text ----

struct Colors {
  const char* bold = "";
  const char* error = "";
  const char* warning = "";
  const char* note = "";
  const char* caret = "";
  const char* reset = "";
};

constexpr Colors ANSI = {"\x1b[1m",    "\x1b[1;31m", "\x1b[1;35m",
                         "\x1b[1;36m", "\x1b[1;32m", "\x1b[0m"};

// "file:line:col: ", "file: " when the place is not known, "polclint: "
// for the policy as a whole.
std::string Location(const SourcePlace& place, const Position& position) {
  if (place.file.empty()) return "polclint: ";
  std::string location = MaskControlChars(place.file);
  if (position.at.line != 0) {
    location += Format(":%u:%u", position.at.line, position.at.column);
  }
  return location + ": ";
}

// The source line with a caret under its column, as compilers show them;
// tabs stay, so that the caret lines up, other control bytes are masked.
void AppendSourceLine(std::string& out, const Position& position, const Colors& colors) {
  std::string shown;
  std::string pad;
  uint32_t column = 1;
  for (const char c : position.line) {
    shown += c == '\t' ? c : MaskControlChars(std::string_view(&c, 1))[0];
    const bool startsCharacter = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (startsCharacter && column++ < position.at.column) pad += c == '\t' ? '\t' : ' ';
  }
  out += Format("%5u | %s\n      | %s%s^%s\n", position.at.line, shown.c_str(), pad.c_str(),
                colors.caret, colors.reset);
}

bool IsWarningCode(std::string_view code) {
  const auto warnings = WarningCodes();
  return std::any_of(warnings.begin(), warnings.end(),
                     [code](const CodeSummary& warning) { return warning.code == code; });
}

void AppendText(std::string& out, const Diagnostic& diagnostic, const Positions& positions,
                const Colors& colors) {
  const Position position = positions.Of(diagnostic.place);
  const std::string location = Location(diagnostic.place, position);
  const bool isError = diagnostic.severity == Severity::ERROR;
  out += Format("%s%s%s%s%s:%s %s%s%s", colors.bold, location.c_str(), colors.reset,
                isError ? colors.error : colors.warning, SeverityName(diagnostic.severity),
                colors.reset, colors.bold, diagnostic.message.c_str(), colors.reset);
  if (!diagnostic.place.keyPath.empty())
    out += " [" + MaskControlChars(diagnostic.place.keyPath) + "]";
  if (IsWarningCode(diagnostic.code)) {
    out += Format(" [-W%.*s]", static_cast<int>(diagnostic.code.size()), diagnostic.code.data());
  }
  out += '\n';
  if (position.at.line != 0) AppendSourceLine(out, position, colors);
  const auto note = [&](const std::string& where, const std::string& text) {
    out += Format("%s%s%s%snote:%s %s\n", colors.bold, where.c_str(), colors.reset, colors.note,
                  colors.reset, text.c_str());
  };
  if (!diagnostic.hint.empty()) note(location, diagnostic.hint);
  for (const SourcePlace& related : diagnostic.related) {
    note(Location(related, positions.Of(related)), diagnostic.relatedNote);
  }
}

std::string TextReport(const std::vector<Diagnostic>& diagnostics, const Positions& positions,
                       bool color) {
  const Colors colors = color ? ANSI : Colors{};
  std::string out;
  size_t errors = 0;
  for (const Diagnostic& diagnostic : diagnostics) {
    AppendText(out, diagnostic, positions, colors);
    errors += diagnostic.severity == Severity::ERROR;
  }
  const size_t warnings = diagnostics.size() - errors;
  if (!diagnostics.empty()) {
    out += Format("%zu error%s and %zu warning%s\n", errors, errors == 1 ? "" : "s", warnings,
                  warnings == 1 ? "" : "s");
  }
  return out;
}

// ---- JSON ----

void AppendMember(std::string& out, const char* key, std::string_view text) {
  out += Format(", \"%s\": ", key);
  AppendUtf8JsonString(out, text);
}

// The members that place `place`: file, line, column and offset, each when
// known.
void AppendPlace(std::string& out, const SourcePlace& place, const Position& position) {
  AppendUtf8JsonString(out += "\"file\": ", place.file);
  if (position.at.line != 0) {
    out += Format(", \"line\": %u, \"column\": %u, \"offset\": %u", position.at.line,
                  position.at.column, place.offset);
  }
}

std::string JsonReport(const std::vector<Diagnostic>& diagnostics, const Positions& positions) {
  std::string out = "[";
  for (size_t i = 0; i < diagnostics.size(); ++i) {
    const Diagnostic& diagnostic = diagnostics[i];
    out += i == 0 ? "\n{" : ",\n{";
    AppendPlace(out, diagnostic.place, positions.Of(diagnostic.place));
    AppendMember(out, "severity", SeverityName(diagnostic.severity));
    AppendMember(out, "code", diagnostic.code);
    AppendMember(out, "message", diagnostic.message);
    if (!diagnostic.place.keyPath.empty()) AppendMember(out, "keyPath", diagnostic.place.keyPath);
    if (!diagnostic.hint.empty()) AppendMember(out, "hint", diagnostic.hint);
    if (!diagnostic.related.empty()) {
      out += ", \"related\": [";
      for (size_t r = 0; r < diagnostic.related.size(); ++r) {
        out += r == 0 ? "{" : ", {";
        AppendPlace(out, diagnostic.related[r], positions.Of(diagnostic.related[r]));
        AppendMember(out, "note", diagnostic.relatedNote);
        out += '}';
      }
      out += ']';
    }
    out += '}';
  }
  return out + "\n]\n";
}

// ---- SARIF ----

// The members of a SARIF location object for `place`.
void AppendSarifLocation(std::string& out, const SourcePlace& place, const Position& position) {
  out += "\"physicalLocation\": {\"artifactLocation\": {\"uri\": ";
  AppendUtf8JsonString(out, PercentEncoded(place.file));
  out += '}';
  if (position.at.line != 0) {
    out += Format(", \"region\": {\"startLine\": %u, \"startColumn\": %u, \"byteOffset\": %u}",
                  position.at.line, position.at.column, place.offset);
  }
  out += '}';
  if (!place.keyPath.empty()) {
    out += ", \"logicalLocations\": [{\"fullyQualifiedName\": ";
    AppendUtf8JsonString(out, place.keyPath);
    out += ", \"kind\": \"member\"}]";
  }
}

std::string SarifReport(const std::vector<Diagnostic>& diagnostics, const Positions& positions) {
  std::vector<CodeSummary> rules(ReaderCodes().begin(), ReaderCodes().end());
  rules.insert(rules.end(), WarningCodes().begin(), WarningCodes().end());
  std::string out =
      "{\n\"$schema\": \"https://json.schemastore.org/sarif-2.1.0.json\",\n\"version\": "
      "\"2.1.0\",\n\"runs\": [{\n\"tool\": {\"driver\": {\"name\": \"polclint\", \"rules\": [";
  for (size_t i = 0; i < rules.size(); ++i) {
    const bool isWarning = i >= ReaderCodes().size();
    out += i == 0 ? "\n{\"id\": " : ",\n{\"id\": ";
    AppendUtf8JsonString(out, rules[i].code);
    out += ", \"shortDescription\": {\"text\": ";
    AppendUtf8JsonString(out, rules[i].summary);
    out += Format("}, \"defaultConfiguration\": {\"level\": \"%s\"}}",
                  isWarning ? "warning" : "error");
  }
  out += "]}},\n\"columnKind\": \"unicodeCodePoints\",\n\"results\": [";
  for (size_t i = 0; i < diagnostics.size(); ++i) {
    const Diagnostic& diagnostic = diagnostics[i];
    const auto rule = std::find_if(rules.begin(), rules.end(), [&](const CodeSummary& summary) {
      return summary.code == diagnostic.code;
    });
    out += i == 0 ? "\n{\"ruleId\": " : ",\n{\"ruleId\": ";
    AppendUtf8JsonString(out, diagnostic.code);
    out += Format(", \"ruleIndex\": %zu, \"level\": \"%s\", \"message\": {\"text\": ",
                  static_cast<size_t>(rule - rules.begin()), SeverityName(diagnostic.severity));
    AppendUtf8JsonString(out, diagnostic.hint.empty()
                                  ? diagnostic.message
                                  : diagnostic.message + "; " + diagnostic.hint);
    out += "}";
    if (!diagnostic.place.file.empty()) {
      out += ", \"locations\": [{";
      AppendSarifLocation(out, diagnostic.place, positions.Of(diagnostic.place));
      out += "}]";
    }
    if (!diagnostic.related.empty()) {
      out += ", \"relatedLocations\": [";
      for (size_t r = 0; r < diagnostic.related.size(); ++r) {
        out += Format(r == 0 ? "{\"id\": %zu, " : ", {\"id\": %zu, ", r);
        AppendSarifLocation(out, diagnostic.related[r], positions.Of(diagnostic.related[r]));
        out += ", \"message\": {\"text\": ";
        AppendUtf8JsonString(out, diagnostic.relatedNote);
        out += "}}";
      }
      out += "]";
    }
    out += "}";
  }
  return out + "\n]\n}]\n}\n";
}

}  // namespace

std::string Report(std::vector<Diagnostic>& diagnostics, const ReportOptions& options) {
  const Positions positions(diagnostics, options.format == ReportFormat::TEXT);
  switch (options.format) {
    case ReportFormat::JSON:
      return JsonReport(diagnostics, positions);
    case ReportFormat::SARIF:
      return SarifReport(diagnostics, positions);
    case ReportFormat::TEXT:
      break;
  }
  return TextReport(diagnostics, positions, options.color);
}
