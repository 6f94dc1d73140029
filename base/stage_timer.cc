#include "base/stage_timer.h"

const char* StageName(Stage stage) {
  static constexpr const char* NAMES[STAGE_COUNT] = {
      "reading",   "JSON parse", "sections",  "checks",     "merge", "hand-over", "types",
      "labeling",  "file ctxs",  "typeattrs", "rule table", "write", "map",       "release"};
  return NAMES[static_cast<size_t>(stage)];
}
