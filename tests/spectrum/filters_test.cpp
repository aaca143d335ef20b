// The video filters and the clipboard export that runs the levels through them.
#include "spectrum/filters.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spectrum/clipboard_text.h"

namespace qvx {
namespace {

constexpr int kNone = 0, kA4 = 1, kA8 = 2, kM4 = 3, kM8 = 4;

std::vector<double> Pass(int index, const std::vector<double>& in) {
  ResetAllFilters();
  std::vector<double> out;
  for (double x : in) {
    double y = 0.0;
    EXPECT_TRUE(FilterLevel(index, x, y));
    out.push_back(y);
  }
  return out;
}

TEST(VideoFilters, ConstantLevelPassesAndTheFirstOutputIsTheFirstInput) {
  for (int index : {kNone, kA4, kA8, kM4, kM8}) {
    EXPECT_EQ(Pass(index, std::vector<double>(20, 7.25)), std::vector<double>(20, 7.25)) << index;
    EXPECT_EQ(Pass(index, {-3.5, 100.0, 100.0})[0], -3.5) << index;  // not a mean over the window
  }
}

// Means spread a spike over their window; medians ignore it, and M4 halves an
// adjacent pair (the mean of its two middle values) while M8 ignores it.
TEST(VideoFilters, SpikePairAndStep) {
  const std::vector<double> spike = {2, 2, 10, 2, 2, 2, 2, 2, 2, 2, 2, 2};
  const std::vector<double> pair = {1, 1, 9, 9, 1, 1, 1, 1, 1, 1, 1};
  const std::vector<double> step = {1, 1, 5, 5, 5, 5, 5, 5};
  struct Case {
    int index;
    const std::vector<double>& in;
    std::vector<double> out;
  };
  const Case cases[] = {
      {kA4, spike, {2, 2, 4, 4, 4, 4, 2, 2, 2, 2, 2, 2}},
      {kA8, spike, {2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2}},
      {kM4, spike, std::vector<double>(12, 2)},
      {kM8, spike, std::vector<double>(12, 2)},
      {kM4, pair, {1, 1, 1, 5, 5, 5, 1, 1, 1, 1, 1}},
      {kM8, pair, std::vector<double>(11, 1)},
      {kA4, step, {1, 1, 2, 3, 4, 5, 5, 5}},
      {kM4, step, {1, 1, 1, 3, 5, 5, 5, 5}},
  };
  for (const Case& c : cases) EXPECT_EQ(Pass(c.index, c.in), c.out) << "index " << c.index << " row " << &c - cases;
}

// The medians above cover ordinary sorting.
TEST(SortAscending, LeavesUncomparablePairsAlone) {
  double b[] = {3.0, NAN, 1.0};
  SortAscending(b, 3);
  EXPECT_EQ(b[0], 3.0);
  EXPECT_TRUE(std::isnan(b[1]));
  EXPECT_EQ(b[2], 1.0);
  SortAscending(b, -3);  // no count, no access
  EXPECT_EQ(b[0], 3.0);
}

// The text's lines; each must end with CR LF and nothing may follow the last one.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  EXPECT_EQ(at, text.size()) << "text does not end with CR LF";
  EXPECT_EQ(lines.size(), 1000u);
  lines.resize(1000);
  return lines;
}

TEST(ClipboardText, BeforeAnyTraceEveryLineIsZero) {
  const SpectrumBuffer empty{};
  for (const auto& l : Lines(BuildClipboardText(empty, 0, false))) EXPECT_EQ(l, "0.000");
  for (const auto& l : Lines(BuildClipboardText(empty, 3, true))) EXPECT_EQ(l, "0.000,0.000");
}

TEST(ClipboardText, FrequencyInKilohertzAndLevelsRounded) {
  SpectrumBuffer data{};
  for (int i = 0; i < SPEC_POINTS; ++i) data[i] = {i * 100.0, 1.0};
  data[0].Level = -0.0004;
  data[1].Level = -0.0006;
  data[2].Level = 1234.5678;
  const std::string text = BuildClipboardText(data, 0, true);
  const auto lines = Lines(text);
  EXPECT_EQ(lines[0], "0.000,0.000");
  EXPECT_EQ(lines[1], "0.100,-0.001");
  EXPECT_EQ(lines[2], "0.200,1234.568");
  EXPECT_EQ(lines[999], "99.900,1.000");
  EXPECT_EQ(text.substr(text.size() - 14), "99.900,1.000\r\n");
}

// Each export starts its filter afresh: the first level is the raw one and a second
// export of the same buffer is identical.
TEST(ClipboardText, LevelsGoThroughAFreshFilter) {
  SpectrumBuffer data{};
  for (int i = 0; i < SPEC_POINTS; ++i) data[i].Level = (i % 2) ? 8.0 : 0.0;
  for (int index : {kA4, kA8, kM4, kM8}) {
    const std::string text = BuildClipboardText(data, index, false);
    const auto lines = Lines(text);
    EXPECT_EQ(lines[0], "0.000") << index;
    EXPECT_EQ(lines[999], "4.000") << index;  // means and medians of alternating 0, 8
    EXPECT_EQ(BuildClipboardText(data, index, false), text) << index;
  }
}

TEST(ClipboardText, IndexOutsideTheListLeavesEveryLevelEmpty) {
  SpectrumBuffer data{};
  for (int i = 0; i < SPEC_POINTS; ++i) data[i] = {1000.0 * i, 5.0};
  const auto pairs = Lines(BuildClipboardText(data, 7, true));
  EXPECT_EQ(pairs[0], "0.000,");
  EXPECT_EQ(pairs[999], "999.000,");
  for (const auto& l : Lines(BuildClipboardText(data, -1, false))) EXPECT_EQ(l, "");
}

}  // namespace
}  // namespace qvx
