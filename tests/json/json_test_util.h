// Helpers for the JSON tests: documents held by unique_ptr, a canonical dump
// of a tree read through the access functions, and allocation hooks that
// count, record and fail on request.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "json/json.h"

namespace json_test {

struct JsonDeleter {
  void operator()(JsonValue* value) const { JsonDelete(value); }
};
using Doc = std::unique_ptr<JsonValue, JsonDeleter>;

// A copy of `text` in a block of exactly its size plus the terminator, so
// that the address sanitizer catches any read past the terminator.
class ExactText {
 public:
  explicit ExactText(const std::string& text);
  const char* get() const { return bytes_.get(); }

 private:
  std::unique_ptr<char[]> bytes_;
};

// Parses `text` (from an ExactText copy); null when the parse fails.
Doc Parse(const std::string& text);

// The tree as text, read through the access functions only: null true false,
// integers in decimal, doubles as d<%.17g>, strings and keys quoted with every
// byte outside 0x20..0x7E and every '"' or '\' written as \xHH.
std::string Dump(JsonValue* value);

// Hooks that count live blocks and can fail the Nth allocation (from 1).
struct AllocationLog {
  struct Block {
    void* ptr;
    uint32_t size;
  };
  std::vector<Block> live;  // allocated and not yet released, in order
  uint32_t calls = 0;       // allocations asked for
  uint32_t failAt = 0;      // 0: never fail
};
AllocationLog& Allocations();

// Installs the recording hooks on construction and the plain malloc/free ones
// on destruction; also leaves the error position cleared.
class JsonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace json_test
