// The policy binary on its way to its file.
//
// The image is serialised whole into one buffer before the output is
// opened, so a serialisation failure is reported before a failure to open,
// that before a failure to write, and a path written in place (a device or
// a pipe) sees no byte of an image that could not be serialised.
#pragma once

#include <cstdint>
#include <string>

#include "ruledb/rule_data_base.h"

enum class PolicyBinaryResult {
  kDone,
  kSerializeFailed,  // the image did not fit the buffer, or a table could not be represented
  kOpenFailed,       // the output could not be created
  kWriteFailed,      // writing, syncing or putting the output in place failed
};

// Serialises `db` and puts the image at `path`. On kSerializeFailed,
// `status` is the serialiser's. Logs nothing; the output is left untouched
// on any failure.
PolicyBinaryResult WritePolicyBinaryFile(const std::string& path, const RuleDataBase& db,
                                         int32_t& status);
