// End-to-end runs of the reader: the built polc on source files in a
// temporary directory, and the exact traces of log lines it leaves.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/polc_test.h"

namespace reader_test {

using Files = std::vector<std::pair<std::string, std::string>>;

inline std::string Error(const std::string& message) {
  return "[ERROR][JsonParser]" + message + "\n";
}

// Where a failure ends the reading of one file.
enum class Stage {
  kLoad,      // reading or parsing the text
  kTopLevel,  // the key check of the root object
  kSection,   // a section reader
  kValidate,  // the per-file checks
};

// Runs the built polc on policy files in a fresh directory and spells out
// the exact log traces the reader leaves.
class ReaderRun : public testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return dir.Path(name); }

  std::string Parsing(const std::string& name) const {
    return "[INFO][JsonParser][Parsing json file][file=" + PathOf(name) + "]\n";
  }
  std::string Validating(const std::string& name) const {
    return "[INFO][JsonParser][Validating json file][file=" + PathOf(name) + "]\n";
  }
  std::string WithFile(const std::string& message, const std::string& name) const {
    return Error(message + "[file=" + PathOf(name) + "]");
  }
  // A file that is read and checked without complaint.
  std::string Passed(const std::string& name) const { return Parsing(name) + Validating(name); }

  // The whole trace of a failure in file `name` at `stage`, around the
  // lines `inner` of the failing step.
  std::string FailureIn(const std::string& name, Stage stage, const std::string& inner) const {
    const std::string parseFailed = WithFile("[Parse json file failed]", name);
    switch (stage) {
      case Stage::kLoad:
        return Parsing(name) + inner + parseFailed;
      case Stage::kTopLevel:
        return Parsing(name) + inner +
               WithFile("[Validate the declarations or rules key failed]", name) + parseFailed;
      case Stage::kSection:
        return Parsing(name) + inner + WithFile("[Parse declarations or rules failed]", name) +
               parseFailed;
      case Stage::kValidate:
        return Passed(name) + inner + WithFile("[Validate json file failed]", name);
    }
    return {};
  }

  // Runs polc on `files` and returns its log without time stamps and
  // without the command line's own first line.
  std::string Run(const Files& files) {
    const polc_test::RunResult result = polc_test::RunPolicy(dir, files);
    exitStatus = result.exitStatus;
    std::string log = polc_test::StripTimestamps(result.out);
    const std::string commandLine = "[INFO][CommandParser][Parsing command line]";
    if (log.starts_with(commandLine)) log.erase(0, log.find('\n') + 1);
    return log;
  }

  polc_test::TempDir dir;
  int exitStatus = -1;
};

// The lines of a failure inside the declarations member `key`, after the
// lines `inner` of the failing step.
inline std::string InDeclarations(const std::string& key, const std::string& inner) {
  return inner + Error("[Parse the value failed][key=" + key + "]") +
         Error("[Parse declarations section failed]") +
         Error("[Parse the value failed][key=declarations]");
}

}  // namespace reader_test
