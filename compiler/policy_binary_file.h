// The policy binary on its way to its file, in two parts.
//
// The image is serialised into one buffer and written through an
// OutputFile. Its head - everything before the rules - only needs the
// tables that the compiler fills first, so WriteHead can serialise it, and
// write it to the temporary file, while the rule table still fills on
// another thread; Finish adds the rules and puts the file in place.
//
// However the two parts are timed, the outcome is the one of serialising the
// whole image, then opening the output, then writing it: a serialisation
// failure is reported before a failure to open, that before a failure to
// write. Nothing is opened early for a path written in place (a device or a
// pipe), which sees no byte before the whole image is ready.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "compiler/output_file.h"
#include "ruledb/policy_binary.h"

class PolicyBinaryFile {
 public:
  enum class Result {
    kDone,
    kSerializeFailed,  // the image did not fit the buffer, or a table could not be represented
    kOpenFailed,       // the output could not be created
    kWriteFailed,      // writing, syncing or putting the output in place failed
  };

  explicit PolicyBinaryFile(std::string path);

  const std::string& Path() const { return path_; }

  // Serialises the head of `db` and, when the output is replaced through a
  // temporary file, writes it there. Logs nothing; a failure waits for
  // Finish. Call at most once, before Finish.
  void WriteHead(const RuleDataBase& db);

  // Serialises what WriteHead has not, opens the output unless WriteHead
  // did, writes the rest and commits. On kSerializeFailed, `status` is the
  // serialiser's. The output is left untouched on any failure.
  Result Finish(const RuleDataBase& db, int32_t& status);

 private:
  void Serialize(int32_t (*part)(const RuleDataBase*, PolicyCursor*), const RuleDataBase& db);
  // Hands the bytes serialised since the last call to the file.
  void WriteSerialized();

  std::string path_;
  std::unique_ptr<uint8_t, decltype(&free)> buffer_{nullptr, &free};  // from the first part on
  PolicyCursor cursor_{};
  int32_t status_ = 0;  // of the first part that failed to serialise
  bool headDone_ = false;
  OutputFile file_;
  bool opened_ = false;
  size_t written_ = 0;  // bytes of the buffer handed to file_
};
