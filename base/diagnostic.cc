#include "base/diagnostic.h"

#include <algorithm>
#include <cstdio>
#include <utility>

void Diagnostics::Add(Diagnostic diagnostic) {
  if (diagnostic.severity == Severity::ERROR) ++errors;
  items.push_back(std::move(diagnostic));
}

Diagnostic Diagnostics::TakeLast() {
  Diagnostic last = std::move(items.back());
  items.pop_back();
  if (last.severity == Severity::ERROR) --errors;
  return last;
}

std::string FormatList(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  return text;
}

namespace {

// The bytes of the character at `at` and what it counts in `unit`.
struct Character {
  uint32_t bytes;
  uint32_t units;
};

Character CharacterAt(std::string_view text, size_t at, ColumnUnit unit) {
  const auto lead = static_cast<unsigned char>(text[at]);
  uint32_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  for (uint32_t i = 1; i < length; ++i) {
    if (at + i >= text.size() || (static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
      length = 1;  // not well formed: the lead byte alone
    }
  }
  return {length, unit == ColumnUnit::UTF16 && length == 4 ? 2u : 1u};
}

}  // namespace

SourceLines::SourceLines(std::string_view text) : text(text), starts{0} {
  for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    starts.push_back(static_cast<uint32_t>(at + 1));
  }
}

LineColumn SourceLines::At(uint32_t offset, ColumnUnit unit) const {
  offset = static_cast<uint32_t>(std::min<size_t>(offset, text.size()));
  const auto line = std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin();
  uint32_t column = 1;
  for (size_t i = starts[static_cast<size_t>(line - 1)]; i < offset;) {
    const Character character = CharacterAt(text, i, unit);
    i += character.bytes;
    column += character.units;
  }
  return {static_cast<uint32_t>(line), column};
}

uint32_t SourceLines::OffsetOf(LineColumn place, ColumnUnit unit) const {
  if (place.line == 0) return 0;
  if (place.line > starts.size()) return static_cast<uint32_t>(text.size());
  const std::string_view line = Line(place.line);
  size_t at = starts[place.line - 1];
  const size_t end = at + line.size();
  for (uint32_t column = 1; column < place.column && at < end;) {
    const Character character = CharacterAt(text, at, unit);
    at += character.bytes;
    column += character.units;
  }
  return static_cast<uint32_t>(std::min(at, end));
}

std::string_view SourceLines::Line(uint32_t line) const {
  const size_t start = starts[line - 1];
  size_t end = line < starts.size() ? starts[line] - 1 : text.size();
  if (end > start && text[end - 1] == '\r') --end;
  return text.substr(start, end - start);
}

namespace {

// Edits (insert, delete, replace, swap two neighbours) that turn `a` into
// `b`, or a number above `limit` once it is sure to exceed it.
size_t EditDistance(std::string_view a, std::string_view b, size_t limit) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
  std::vector<size_t> before(b.size() + 1);
  std::vector<size_t> previous(b.size() + 1);
  std::vector<size_t> current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    size_t rowBest = current[0];
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t replace = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
      rowBest = std::min(rowBest, current[j]);
    }
    if (rowBest > limit) return limit + 1;
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

}  // namespace

std::string_view NearestName(std::string_view word,
                             const std::vector<std::string_view>& candidates) {
  // A third of the word may be wrong: "tpye" finds "type", "a" finds nothing;
  // and a word of three bytes or more may lack an ending: "etc" finds "etc_t".
  const size_t limit = word.size() / 3;
  std::string_view nearest;
  size_t best = limit + 1;
  for (const std::string_view candidate : candidates) {
    if (candidate == word) continue;
    const bool extends = word.size() >= 3 && candidate.starts_with(word);
    const size_t distance = extends ? 1 : EditDistance(word, candidate, std::min(limit, best - 1));
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

void SuggestNearest(Diagnostic& diagnostic, std::string_view word,
                    const std::vector<std::string_view>& candidates) {
  const std::string_view nearest = NearestName(word, candidates);
  if (nearest.empty()) return;
  diagnostic.suggestion = nearest;
  diagnostic.hint = "did you mean \"" + diagnostic.suggestion + "\"?";
}
