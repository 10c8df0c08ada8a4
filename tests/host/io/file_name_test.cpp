// File names shown as valid UTF-8: valid names unchanged, every stray byte escaped.
#include <gtest/gtest.h>

#include <string>

#include "host/io/FileName.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using namespace zbhost;

struct NameCase : NamedRow {
  const char* path;
  const char* shown;
};

class DisplayNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(DisplayNameTest, ShowsValidUtf8) {
  const std::string shown = DisplayName(GetParam().path);
  EXPECT_EQ(shown, GetParam().shown);
  EXPECT_TRUE(IsValidUtf8(shown));
}

INSTANTIATE_TEST_SUITE_P(
    Names, DisplayNameTest,
    testing::Values(
        NameCase{"ascii", "in.wav", "in.wav"},
        // Valid UTF-8 of every length stays as it is, a backslash too.
        NameCase{"multibyte", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5.wav",
                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5.wav"},
        NameCase{"backslash_in_valid_name", "a\\xff.wav", "a\\xff.wav"},
        NameCase{"latin1_byte", "bad\xff.wav", "bad\\xFF.wav"},
        // In a name with escapes, its own backslash is doubled.
        NameCase{"backslash_beside_bad_byte", "a\\b\xfe", "a\\\\b\\xFE"},
        NameCase{"overlong_slash", "\xc0\xaf", "\\xC0\\xAF"},
        NameCase{"surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
        NameCase{"beyond_last_code_point", "\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        NameCase{"cut_sequence", "x\xe2\x82", "x\\xE2\\x82"},
        NameCase{"stray_continuation", "\x80y", "\\x80y"}),
    RowName());

}  // namespace
}  // namespace zbtest
