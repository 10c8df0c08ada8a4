// DebugTrace: printf-style formatting into a 2048-byte buffer, handed on unchanged to the
// debug output; longer messages are cut to their first 2047 characters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QV_Base/Src/QV_DebugTrace.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

constexpr size_t kMaxPassed = zbbase::kDebugTraceBytes - 1;  // the terminator takes one byte

TEST(DebugTraceTest, TextWithoutConversionsPassesUnchanged) {
  DebugCapture capture;
  zbbase::DebugTrace("Adpcm HandleFrame\r\n");
  zbbase::DebugTrace("Render Adpcm Frame\r\n");
  EXPECT_EQ(capture.texts(),
            (std::vector<std::string>{"Adpcm HandleFrame\r\n", "Render Adpcm Frame\r\n"}));
}

TEST(DebugTraceTest, ConversionsAreFormattedAndNothingIsAdded) {
  DebugCapture capture;
  zbbase::DebugTrace("seq=%d len=%u %s%%\r\n", -3, 168u, "ok");
  EXPECT_EQ(capture.texts(), (std::vector<std::string>{"seq=-3 len=168 ok%\r\n"}));
}

TEST(DebugTraceTest, EmptyMessageIsStillPassedOn) {
  DebugCapture capture;
  zbbase::DebugTrace("%s", "");
  EXPECT_EQ(capture.texts(), (std::vector<std::string>{""}));
}

// One row per message length around the buffer size.
class DebugTraceLengthTest : public ::testing::TestWithParam<size_t> {};

TEST_P(DebugTraceLengthTest, ArrivesWholeOrAsItsFirst2047Characters) {
  const size_t length = GetParam();
  std::string message;
  for (size_t i = 0; i < length; ++i) message += static_cast<char>('a' + i % 26);
  DebugCapture capture;
  zbbase::DebugTrace("%s", message.c_str());
  const std::vector<std::string> texts = capture.texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], message.substr(0, kMaxPassed));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DebugTraceLengthTest,
                         ::testing::Values(2046,         // fits with room to spare
                                           2047,         // fits exactly with its terminator
                                           2048,         // one too many: cut
                                           2049, 5000),  // well over: cut at the same place
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace zbtest
