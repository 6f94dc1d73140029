// What a section reader works with besides the JSON value in hand: the
// model of the file being read, the run's diagnostics, and where in the
// document the value stands.
//
// A reader that finds a fault makes a Diagnostic of it (Error) and returns
// non-zero; each enclosing reader that gives up too adds its own line to the
// failure's trace (Trace), so that polc prints the same trace as when each
// level logged its line. polc stops at the first error. polclint reads on
// (KeepGoing): a reader that can skip the faulty entry carries on with the
// next one, so one run reports every independent fault. For polclint the
// context also knows the place of every value in the text and keeps a
// record of every name the file uses (SourceIndex).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/diagnostic.h"
#include "reader/policy_model.h"
#include "reader/source_index.h"

struct JsonValue;
class JsonPlaces;

class ReadContext {
 public:
  // `places` and `index` are given by readers that show places (polclint);
  // polc passes neither.
  ReadContext(PolicyModel& model, Diagnostics& diagnostics, std::string file,
              const JsonPlaces* places = nullptr, SourceIndex* index = nullptr);

  PolicyModel& model;
  Diagnostics& diagnostics;

  const std::string& File() const { return file; }
  // The file as it shows in polc's log lines.
  const std::string& ShownFile() const { return shownFile; }
  bool KeepGoing() const { return diagnostics.KeepGoing(); }
  // Where the uses of names go, or null when nobody asked for them.
  SourceIndex* Index() const { return index; }

  // The root of the document being read, for Release.
  void SetDocument(const JsonValue* root) { document = root; }
  // JsonRelease of the document: the reader will read nothing of
  // `container` before its child `next` again (nothing of it when `next` is
  // null), whose memory a deferred document may then give back.
  void Release(const JsonValue* container, const JsonValue* next) const;

  // Records `fault` as an error about `value` (or its key, with `onKey`),
  // which stands at the current key path; returns -1.
  int Error(const JsonValue* value, Fault fault, bool onKey = false);
  // The same, returning the diagnostic so that the caller can add a hint.
  Diagnostic& Report(const JsonValue* value, Fault fault, bool onKey = false);
  // Adds the line of `format` to the trace of the failure being returned
  // (polc's); returns -1.
  int Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Reading that checks a whole section before it stores it meets a fault
  // ahead of its turn: storing the entries read before the fault may meet
  // a fault of its own, which comes first in reading order. `store()`
  // stores them, reports its own fault and returns non-zero on it; when the
  // run ends at its first error, the fault of reading (`readFailed`, the
  // last one reported) then gives way to it. -1 when either failed.
  template <typename Store>
  int StoreBeforeFault(bool readFailed, Store store) {
    if (!readFailed || KeepGoing()) return store() != 0 || readFailed ? -1 : 0;
    Diagnostic held = diagnostics.TakeLast();
    if (store() == 0) diagnostics.Add(std::move(held));
    return -1;
  }

  // The place of `value`, or of the key of the member `member`, in the
  // text; NO_OFFSET when places are not known.
  uint32_t OffsetOf(const JsonValue* value) const;
  uint32_t KeyOffsetOf(const JsonValue* member) const;

  // The key path grows by one step while a Step lives.
  class Step {
   public:
    // Inline: a step is taken for every element read.
    Step(ReadContext& context, const char* key) : context(context) {
      context.path.push_back({key, 0});
    }
    Step(ReadContext& context, uint32_t index) : context(context) {
      context.path.push_back({nullptr, index});
    }
    ~Step() { context.path.pop_back(); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

   private:
    ReadContext& context;
  };
  // The current key path, as "rules[3].teac[1]".
  std::string KeyPath() const;

 private:
  struct PathStep {
    const char* key;  // null for an array element
    uint32_t index;
  };

  std::string file;
  std::string shownFile;
  const JsonPlaces* places;
  SourceIndex* index;
  const JsonValue* document = nullptr;
  std::vector<PathStep> path;
};
