// JsonParser, the policy source reader.
//
// ParseJsonFiles loads every source file in turn, reads its sections into a
// fresh per-file PolicyModel (section_readers.h), checks that model on its
// own, merges it into the merged model held here and, after the last file,
// checks the merged model as a whole. The first failure ends the read.
// Loading runs ahead on a second thread (SourceLookahead); the log is the
// same as when each file is loaded in its turn.
//
// Every operation returns 0 on success and non-zero on failure (a callee's
// non-zero result is passed on unchanged, so every failure ends as -1) and
// never throws on bad input. A failure is a Diagnostic, recorded where it
// is found; each enclosing level adds its own line to its trace, and
// ParseJsonFiles logs the trace, innermost cause first. User-supplied texts
// are masked with MaskControlChars before they go into a log line.
//
// JSON values are borrowed from the caller's parsed tree; the readers copy
// every text they keep into the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/diagnostic.h"
#include "base/stage_timer.h"
#include "reader/policy_model.h"
#include "reader/read_context.h"
#include "reader/section_readers.h"
#include "reader/source_loader.h"
#include "reader/validators.h"

struct JsonValue;

class JsonParser {
 public:
  // With `timer`, every file is loaded on the calling thread and each stage
  // of the read is timed.
  explicit JsonParser(StageTimer* timer = nullptr) : timer(timer) {}

  // The merged model of all files read so far; empty after construction.
  const PolicyModel& GetPolicyModel() const { return model; }
  // Hands the merged model over and leaves this reader's model empty: the
  // compiler takes the model whole, so nothing is copied.
  PolicyModel TakePolicyModel() {
    PolicyModel taken = std::move(model);
    model = PolicyModel();
    nameForms = NameForms();  // it described the old pool
    return taken;
  }

  // Reads, checks and merges the files of `paths` in order, then checks the
  // merged model as a whole; logs the trace of the first failure. After a
  // failure the merged model is of no use.
  int ParseJsonFiles(std::vector<std::string> paths);

  // What the reading found; after a failure, its last item is the fault.
  const Diagnostics& GetDiagnostics() const { return diagnostics; }

 private:
  // An empty model for one file that shares the merged model's name and
  // path pools, as MergeJsonFile requires.
  PolicyModel NewFileModel() const;
  // Reads the loaded `source` of `path` into `fileModel`, made by
  // NewFileModel and empty, checks it and merges it; `fileModel` is left
  // empty for the next file.
  int ReadJsonFile(const std::string& path, LoadedSource source, PolicyModel& fileModel);
  // The per-file checks, on the model of one file (`file`) before it is
  // merged.
  int ValidateJsonFile(const PolicyModel& fileModel, const std::string& file);
  // Moves the entries of `fileModel`, made by NewFileModel, into the merged
  // model (leaving `fileModel` in an unspecified state). Fails on the first
  // key, in the file's key order, that a labeling map or transitionRules
  // already holds; entries merged before the failure stay in the merged
  // model.
  int MergeJsonFile(PolicyModel& fileModel, const std::string& file);
  // The checks of the merged model: size limit, required names, names that
  // are both type and attribute.
  int ValidateWholeJsonFile();
  // Adds `line` to the trace of the fault, logs the trace; -1.
  int Fail(const std::string& line);

  StageTimer* timer;
  PolicyModel model;    // the merged model; only grows
  NameForms nameForms;  // of the texts of model.names, for the per-file checks
  Diagnostics diagnostics{false};
};

// Reads a loaded file into the model of `context`, or records why it could
// not be loaded.
int ReadLoadedSource(ReadContext& context, const LoadedSource& source);
