#include "reader/log.h"

#include <gtest/gtest.h>

#include "tests/support/polc_test.h"

namespace {

TEST(MaskControlChars, ReplacesOnlyControlCharacters) {
  EXPECT_EQ(MaskControlChars("a\tb\x7f;$\x80"), "a*b*;$\x80");
}

}  // namespace
