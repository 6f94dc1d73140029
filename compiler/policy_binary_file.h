// The policy binary on its way to its file.
//
// A file that is replaced through a temporary file gets the image as it is
// serialised, through a small buffer: the whole image is never held at
// once. Any other output (a device or a pipe, written in place) gets it only
// once it is serialised whole, so it sees no byte of an image that could not
// be. Either way a serialisation failure is reported before a failure to
// open, that before a failure to write, and a failure leaves the output
// untouched.
#pragma once

#include <cstdint>
#include <string>

#include "ruledb/rule_data_base.h"

enum class PolicyBinaryResult {
  DONE,
  SERIALIZE_FAILED,  // the image did not fit the buffer, or a table could not be represented
  OPEN_FAILED,       // the output could not be created
  WRITE_FAILED,      // writing, syncing or putting the output in place failed
};

// Serialises `db` and puts the image at `path`. On SERIALIZE_FAILED,
// `status` is the serialiser's. Logs nothing.
PolicyBinaryResult WritePolicyBinaryFile(const std::string& path, const RuleDataBase& db,
                                         int32_t& status);
