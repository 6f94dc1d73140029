// Errors and warnings about policy sources, as values.
//
// A Diagnostic is made where a fault is found: what is wrong (a stable code
// and a message for people), where (the file, a byte offset into its text
// and the key path of the JSON value concerned), and the log lines polc
// prints for it. Each front end renders the same record its own way: polc
// as its log lines, polclint as "file:line:col: error: ..." with the source
// line, as JSON or as SARIF. Lines and columns are worked out from the
// offset only when a diagnostic is shown.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class Severity : uint8_t { ERROR, WARNING };

inline constexpr uint32_t NO_OFFSET = UINT32_MAX;

// A place in a policy source.
struct SourcePlace {
  std::string file;             // the path as the run names it; empty: the policy as a whole
  uint32_t offset = NO_OFFSET;  // byte offset into the file's text; NO_OFFSET: not located
  std::string keyPath;          // "rules[3].teac[1].object"; empty: the whole document
};

struct Diagnostic {
  Severity severity = Severity::ERROR;
  std::string_view code;  // stable id, "undefined-name"; static storage
  SourcePlace place;
  std::string message;               // one line for people
  std::string hint;                  // a fix to suggest ("did you mean 'log_t'?"), or empty
  std::string suggestion;            // what the did-you-mean would put at the place, or empty
  std::vector<SourcePlace> related;  // the other places a finding involves
  std::string relatedNote;           // what they are ("labeled first here")
  // polc's log messages for this failure, innermost cause first, each a
  // whole message ending in "\n", without time stamp and level.
  std::vector<std::string> trace;
};

// What a check says of a fault before it is placed: the stable code, a
// message for people and polc's log line for it, which is empty where polc
// logs nothing of its own.
struct Fault {
  std::string_view code;
  std::string message;
  std::string logLine;
};

// The diagnostics of one run, in the order they were found.
class Diagnostics {
 public:
  // `keepGoing`: whether reading goes on after an error (polclint) or the
  // first error ends the run (polc).
  explicit Diagnostics(bool keepGoing) : keepGoing(keepGoing) {}

  bool KeepGoing() const { return keepGoing; }
  void Add(Diagnostic diagnostic);
  bool HasErrors() const { return errors != 0; }
  size_t ErrorCount() const { return errors; }
  std::vector<Diagnostic>& Items() { return items; }
  const std::vector<Diagnostic>& Items() const { return items; }
  // The last diagnostic added; there must be one.
  Diagnostic& Last() { return items.back(); }
  // Removes the last diagnostic and hands it back, to be added again later
  // or dropped for another found before it in reading order.
  Diagnostic TakeLast();

 private:
  bool keepGoing;
  size_t errors = 0;
  std::vector<Diagnostic> items;
};

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatList(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Line and column, both from 1. The column counts characters (UTF-8
// sequences), so that a caret lines up under the place in a terminal and
// editors agree on it.
struct LineColumn {
  uint32_t line;
  uint32_t column;
};

// What a column counts: characters (UTF-8 sequences), or the UTF-16 code
// units of the language server protocol (two for a character beyond
// U+FFFF). A byte that is no part of well-formed UTF-8 counts as one.
enum class ColumnUnit { CHARACTER, UTF16 };

// The lines of a text, to place offsets in it.
class SourceLines {
 public:
  explicit SourceLines(std::string_view text);
  // The line and column of byte `offset` (at most the text's end).
  LineColumn At(uint32_t offset, ColumnUnit unit = ColumnUnit::CHARACTER) const;
  // The byte offset of `place`, its column counted in `unit`; a line past
  // the last gives the text's end, a column past the line's end the end of
  // the line.
  uint32_t OffsetOf(LineColumn place, ColumnUnit unit) const;
  // Line `line` (from 1), without its line end.
  std::string_view Line(uint32_t line) const;

 private:
  std::string_view text;
  std::vector<uint32_t> starts;  // of each line
};

// The candidate nearest to `word` by edit distance when it is near enough to
// be what was meant (a slip of a few letters), else empty. Ties go to the
// first candidate.
std::string_view NearestName(std::string_view word,
                             const std::vector<std::string_view>& candidates);

// Gives `diagnostic` the NearestName of `word` as its suggestion, with the
// hint "did you mean ...?", when there is one.
void SuggestNearest(Diagnostic& diagnostic, std::string_view word,
                    const std::vector<std::string_view>& candidates);
