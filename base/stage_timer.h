// The stages of a compile, in the order they first run, and the hook that
// is told when each begins and ends: bench/stage_times times polc's own
// pipeline through it instead of running the steps itself.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Stage : uint8_t {
  READING,        // reading a source file whole
  JSON_PARSE,     // parsing its text, and releasing the text
  SECTIONS,       // reading the sections of its document, and releasing the document
  CHECKS,         // the per-file checks and the whole-policy checks
  MERGE,          // merging a file's model, and releasing what is left of it
  HAND_OVER,      // handing the merged model to the compiler
  TYPES,          // numbering and the symbol table
  LABELING,       // initial sids, netifs and packets
  FILE_CONTEXTS,  // the file context table
  TYPE_ATTRS,     // the type attribute array
  RULE_TABLE,     // grant and transition rules
  WRITE,          // serialising and writing the policy binary
  MAP,            // writing the map file
  RELEASE,        // destroying the database, the compiler and the reader
};
inline constexpr size_t STAGE_COUNT = static_cast<size_t>(Stage::RELEASE) + 1;

// A short name of `stage` for a table: "JSON parse", "rule table", ...
const char* StageName(Stage stage);

// Told of every stage as it begins and ends; a stage may run many times
// (once per file). With a timer the whole compile runs on the calling
// thread, so that no two stages overlap.
class StageTimer {
 public:
  virtual void Begin(Stage stage) = 0;
  virtual void End(Stage stage) = 0;

 protected:
  ~StageTimer() = default;
};

// Tells `timer`, when there is one, that `stage` runs while this lives.
class TimedStage {
 public:
  TimedStage(StageTimer* timer, Stage stage) : timer(timer), stage(stage) {
    if (timer != nullptr) timer->Begin(stage);
  }
  ~TimedStage() {
    if (timer != nullptr) timer->End(stage);
  }
  TimedStage(const TimedStage&) = delete;
  TimedStage& operator=(const TimedStage&) = delete;

 private:
  StageTimer* timer;
  Stage stage;
};
