// The whole measurement against the simulator: set-up, trace, plot, filters, export,
// and the trace faults that must leave the spectrum and the chart as they were.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineSeries>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "core/conversions.h"
#include "e2e/e2e_fixture.h"
#include "plot/chart_view.h"

namespace qvx::test {
namespace {

double MedianLevel(const SpectrumBuffer& data, int from, int to) {
  std::vector<double> levels;
  for (int i = from; i < to; ++i) levels.push_back(data[static_cast<std::size_t>(i)].Level);
  std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2), levels.end());
  return levels[levels.size() / 2];
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST_F(EndToEnd, AMeasurementReadsTheSimulatedFloorThroughTheHannWindow) {
  Connect();
  Click(form_->BtnSetFFT);
  Click(form_->BtnGetFFTData);
  ASSERT_TRUE(boxes_.Boxes().empty()) << boxes_.Texts().front();

  const WorkingState& s = form_->State();
  EXPECT_DOUBLE_EQ(s.Rbw, 9.5367431640625);
  EXPECT_EQ(s.SpecData[0].Freq, 0);
  EXPECT_DOUBLE_EQ(s.SpecData[999].Freq, 99900);
  // Well above the 1/f corner the floor is white: it reads the simulator's density times the
  // root of the Hann window's ENBW, as on a real instrument.
  const double floor = MedianLevel(s.SpecData, 300, 1000);
  EXPECT_NEAR(floor, std::sqrt(1.5) * sim_->Noise().white_nv, 0.1 * sim_->Noise().white_nv);

  ASSERT_EQ(form_->Chart().Series1.size(), 1000u);
  EXPECT_EQ(form_->Chart1->Series()->count(), 1000);
  EXPECT_DOUBLE_EQ(form_->Chart().Series1[999].x, 99.9);
  EXPECT_EQ(form_->Chart1->SubTitleText().toStdString(), "VF none\nAve 32\nfs(MHz) 10\nRBW 9.537");
  const auto log = form_->LogLines();
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
            (std::vector<std::string>{"FFT Pts: 1048576", "Calc RBW: 9.537Hz"}));

  // Another filter redraws the same buffer without asking the instrument.
  const std::size_t linesBefore = sim_->Lines().size();
  form_->CmbMoveAve->setCurrentIndex(4);
  emit form_->CmbMoveAve->activated(4);
  EXPECT_EQ(sim_->Lines().size(), linesBefore);
  EXPECT_EQ(form_->Chart1->SubTitleText().toStdString(), "VF M8\nAve 32\nfs(MHz) 10\nRBW 9.537");
  EXPECT_EQ(form_->Chart().Series1[0].y, s.SpecData[0].Level) << "the first filtered point is the first level";

  // The export goes through the same filter; with the frequency column it has both.
  form_->ChkFreqList->setChecked(true);
  Click(form_->BtnClipBorad);
  const auto lines = SplitCrLf(QGuiApplication::clipboard()->text().toStdString());
  ASSERT_EQ(lines.size(), 1000u);
  EXPECT_EQ(lines[0], "0.000," + FormatFloat("0.000", s.SpecData[0].Level));
  EXPECT_EQ(lines[999].substr(0, 7), "99.900,");
  EXPECT_EQ(lines[500], "50.000," + FormatFloat("0.000", form_->Chart().Series1[500].y));
}

// A longer block gives its first thousand points; a header split over segments is
// gathered (its rest comes 1300 ms after "#", past the program's 1000 ms pause).
TEST_F(EndToEnd, LongerAndSplitBlocksAreReadCompletely) {
  Connect();
  struct Case {
    sim::Fault fault;
    std::size_t blockBytes;
  };
  for (const Case& c : {Case{sim::Fault::None, 1200}, Case{sim::Fault::HeaderSplit, 1000}}) {
    SCOPED_TRACE(sim::FaultName(c.fault));
    sim::FaultSettings faults;
    faults.fault = c.fault;
    faults.block_bytes = c.blockBytes;
    faults.split_ms = 1300;
    sim_->SetFaults(faults);
    const SpectrumBuffer before = form_->State().SpecData;
    Click(form_->BtnGetFFTData);
    ASSERT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(form_->Chart().Series1.size(), 1000u);
    const auto& now = form_->State().SpecData;
    EXPECT_FALSE(std::equal(now.begin(), now.end(), before.begin(), [](const SpecPoint& a, const SpecPoint& b) {
      return a.Level == b.Level;
    })) << "a new trace was read";
    // The stream is still in step: the next query gets its own answer.
    sim_->SetFaults({});
    Click(form_->BtnIDN);
    EXPECT_EQ(form_->LogLines().back(), "QVX71-SIM,QVX71,SIM00001,1.0.0");
  }
}

// Each broken block leaves the spectrum, the chart and the log as they were, and the
// button comes back within its bounds. Where the instrument still answers, the next
// query reads its own reply, not what was left of the block.
TEST_F(EndToEnd, BrokenBlocksChangeNothing) {
  Connect();
  Click(form_->BtnGetFFTData);
  ASSERT_TRUE(boxes_.Boxes().empty());
  const SpectrumBuffer good = form_->State().SpecData;
  const auto goodSeries = form_->Chart().Series1;

  struct Case {
    sim::Fault fault;
    std::size_t blockBytes;
    bool stillAnswers;  // else the connection is closed or stalled, and we reconnect
  };
  // split-reply: the block's second half comes 4000 ms after the query, past the
  // data receive's 2000 ms bound.
  const Case cases[] = {{sim::Fault::ZeroBlock, 1000, true},     {sim::Fault::None, 999, true},
                        {sim::Fault::SplitReply, 1000, true},    {sim::Fault::StalledBlock, 1000, false},
                        {sim::Fault::HugeAnnounce, 1000, false}, {sim::Fault::TruncatedBlock, 1000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(sim::FaultName(c.fault)) + " " + std::to_string(c.blockBytes));
    sim::FaultSettings faults;
    faults.fault = c.fault;
    faults.block_bytes = c.blockBytes;
    faults.split_ms = 4000;
    sim_->SetFaults(faults);
    const auto logBefore = form_->LogLines();
    const auto start = std::chrono::steady_clock::now();
    Click(form_->BtnGetFFTData);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(40)) << "a broken block must not hold the window for long";
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(form_->LogLines(), logBefore);
    for (std::size_t i = 0; i < good.size(); ++i) {
      ASSERT_EQ(form_->State().SpecData[i].Level, good[i].Level) << i;
    }
    ASSERT_EQ(form_->Chart().Series1.size(), goodSeries.size());
    EXPECT_EQ(form_->Chart().Series1.back().y, goodSeries.back().y);
    sim_->SetFaults({});
    if (c.stillAnswers) {
      EXPECT_EQ(form_->QueryInstrument("*IDN?"), sim::kIdentification);
    } else {
      Click(form_->BtnConnect);
      ASSERT_EQ(form_->LogLines().back(), "Connected");
    }
  }
}

TEST_F(EndToEnd, NoAnswerAtAllReturnsWithNothingChanged) {
  Connect();
  sim_->SetFault(sim::Fault::Silent);
  Click(form_->BtnGetFFTData);
  EXPECT_TRUE(boxes_.Boxes().empty());
  EXPECT_EQ(form_->LogLines(), std::vector<std::string>{"Connected"});
  EXPECT_TRUE(form_->Chart().Series1.empty());
}

}  // namespace
}  // namespace qvx::test
