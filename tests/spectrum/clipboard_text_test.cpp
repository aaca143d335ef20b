#include "spectrum/clipboard_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qvx {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  EXPECT_EQ(at, text.size()) << "text does not end with CR LF";
  return lines;
}

TEST(ClipboardText, BeforeAnyTraceEveryLineIsZero) {
  const SpectrumBuffer empty{};
  const auto levels = Lines(BuildClipboardText(empty, 0, false));
  const auto pairs = Lines(BuildClipboardText(empty, 3, true));
  ASSERT_EQ(levels.size(), 1000u);
  ASSERT_EQ(pairs.size(), 1000u);
  for (const auto& l : levels) EXPECT_EQ(l, "0.000");
  for (const auto& l : pairs) EXPECT_EQ(l, "0.000,0.000");
}

TEST(ClipboardText, FrequencyInKilohertzAndLevelsRounded) {
  SpectrumBuffer data{};
  for (int i = 0; i < SPEC_POINTS; ++i) data[i] = {i * 100.0, 1.0};
  data[0].Level = -0.0004;
  data[1].Level = -0.0006;
  data[2].Level = 1234.5678;
  const std::string text = BuildClipboardText(data, 0, true);
  const auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 1000u);
  EXPECT_EQ(lines[0], "0.000,0.000");
  EXPECT_EQ(lines[1], "0.100,-0.001");
  EXPECT_EQ(lines[2], "0.200,1234.568");
  EXPECT_EQ(lines[999], "99.900,1.000");
  EXPECT_EQ(text.substr(text.size() - 14), "99.900,1.000\r\n");
}

TEST(ClipboardText, FilteredLevelsStartFromTheRawLevelAndRepeatExactly) {
  SpectrumBuffer data{};
  for (int i = 0; i < SPEC_POINTS; ++i) data[i] = {0.0, (i % 2) ? 8.0 : 0.0};
  for (int index : {1, 2, 3, 4}) {
    const std::string text = BuildClipboardText(data, index, false);
    const auto lines = Lines(text);
    EXPECT_EQ(lines[0], "0.000") << index;
    EXPECT_EQ(lines[999], "4.000") << index;  // means and medians of alternating 0, 8
    EXPECT_EQ(BuildClipboardText(data, index, false), text) << index;
  }
  EXPECT_EQ(Lines(BuildClipboardText(data, 1, false))[1], "2.000");
}

TEST(ClipboardText, IndexOutsideTheListLeavesEveryLevelEmpty) {
  SpectrumBuffer data{};
  for (int i = 0; i < SPEC_POINTS; ++i) data[i] = {1000.0 * i, 5.0};
  const auto pairs = Lines(BuildClipboardText(data, 7, true));
  const auto levels = Lines(BuildClipboardText(data, -1, false));
  ASSERT_EQ(pairs.size(), 1000u);
  ASSERT_EQ(levels.size(), 1000u);
  EXPECT_EQ(pairs[0], "0.000,");
  EXPECT_EQ(pairs[999], "999.000,");
  for (const auto& l : levels) EXPECT_EQ(l, "");
}

}  // namespace
}  // namespace qvx
