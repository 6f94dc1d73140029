#include "reader/read_context.h"

#include <cstdarg>
#include <utility>

#include "base/log.h"
#include "json/json.h"
#include "json/json_places.h"

ReadContext::ReadContext(PolicyModel& model, Diagnostics& diagnostics, std::string file,
                         const JsonPlaces* places, SourceIndex* index)
    : model(model),
      diagnostics(diagnostics),
      file(std::move(file)),
      shownFile(MaskControlChars(this->file)),
      places(places),
      index(index) {}

Diagnostic& ReadContext::Report(const JsonValue* value, Fault fault, bool onKey) {
  Diagnostic diagnostic;
  diagnostic.code = fault.code;
  diagnostic.place.file = file;
  if (value != nullptr) diagnostic.place.offset = onKey ? KeyOffsetOf(value) : OffsetOf(value);
  diagnostic.place.keyPath = KeyPath();
  diagnostic.message = std::move(fault.message);
  if (!fault.logLine.empty()) diagnostic.trace.push_back(std::move(fault.logLine));
  diagnostics.Add(std::move(diagnostic));
  return diagnostics.Last();
}

int ReadContext::Error(const JsonValue* value, Fault fault, bool onKey) {
  Report(value, std::move(fault), onKey);
  return -1;
}

int ReadContext::Trace(const char* format, ...) {
  // Only a run that ends at its first error shows the trace.
  if (KeepGoing()) return -1;
  va_list args;
  va_start(args, format);
  diagnostics.Last().trace.push_back(FormatList(format, args));
  va_end(args);
  return -1;
}

void ReadContext::Release(const JsonValue* container, const JsonValue* next) const {
  JsonRelease(document, container, next);
}

uint32_t ReadContext::OffsetOf(const JsonValue* value) const {
  return places == nullptr ? NO_OFFSET : places->ValueOffset(value);
}

uint32_t ReadContext::KeyOffsetOf(const JsonValue* member) const {
  return places == nullptr ? NO_OFFSET : places->KeyOffset(member);
}

std::string ReadContext::KeyPath() const {
  std::string text;
  for (const PathStep& step : path) {
    if (step.key == nullptr) {
      text += '[' + std::to_string(step.index) + ']';
    } else {
      if (!text.empty()) text += '.';
      text += step.key;
    }
  }
  return text;
}
