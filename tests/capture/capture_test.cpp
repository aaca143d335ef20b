// The time record over the channel, against the simulated instrument in-process.
#include "capture/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>

#include "support/sim_channel.h"

namespace qvx {
namespace {

using test::SimChannel;

sim::NoiseModel Quiet(double white_nv, double dc_v = 0.0) {
  sim::NoiseModel m;
  m.white_nv = white_nv;
  m.corner_hz = 0.0;
  m.tones.clear();
  m.dc_v = dc_v;
  return m;
}

// Two records of 100 000 points: 10 MSa/s for the top, 1 MSa/s below it.
CapturePlan TwoRecords() {
  CapturePlan plan;
  plan.records.push_back({100000, 1e-3, 1e7, 0.01, 1e4, 4e6});
  plan.records.push_back({100000, 1e-2, 1e6, 0.1, 20, 1e4});
  return plan;
}

CapturePlan OneRecord() {
  CapturePlan plan;
  plan.records.push_back({100000, 1e-2, 1e6, 0.1, 20, 4e5});
  return plan;
}

double WhiteOf(const NoiseSpectrum& s, double lo, double hi) {
  double sum = 0.0;
  int n = 0;
  for (const NoisePoint& p : s.points) {
    if (p.freq_hz >= lo && p.freq_hz < hi) {
      sum += p.density_nv * p.density_nv;
      ++n;
    }
  }
  return n > 0 ? std::sqrt(sum / n) : 0.0;
}

// Microvolts of noise on volts of DC: two short records find a scale fine enough for the
// noise, and the level never reaches the spectrum.
TEST(Capture, RangesInTwoShortRecordsWhateverTheLevel) {
  for (double dc : {0.0, 0.5, 3.3, -2.0}) {
    SCOPED_TRACE(dc);
    SimChannel ch(Quiet(200.0, dc));
    const CaptureOutcome out = RunCapture(ch, OneRecord(), {});
    ASSERT_FALSE(out.error) << out.error->what();
    EXPECT_EQ(ch.Count(":SINGle"), 3u) << "two ranging records and the record";
    ASSERT_EQ(out.records.size(), 1u);
    const RecordInfo& info = out.records[0].info;
    EXPECT_EQ(info.clipped_points, 0);
    EXPECT_LE(info.ch1_scale, 1e-3) << "200 nV/sqrt(Hz) at 1 MSa/s is 140 uV rms";
    EXPECT_NEAR(WhiteOf(StitchRecords(out.records, 10), 1e3, 1e5), 200.0, 10.0);
  }
}

// A source that grows after ranging clips the record: it is taken again at a coarser scale,
// never averaged with its clipped points.
TEST(Capture, ARecordThatClipsIsTakenAgainCoarser) {
  SimChannel ch(Quiet(200.0));
  int singles = 0;
  ch.hook = [&](std::string_view command, std::size_t) {
    if (command == ":SINGle" && ++singles == 3) ch.instrument.SetNoise(Quiet(2000.0));
  };
  const CaptureOutcome out = RunCapture(ch, OneRecord(), {});
  ASSERT_FALSE(out.error) << out.error->what();
  EXPECT_GT(singles, 3);
  ASSERT_EQ(out.records.size(), 1u);
  EXPECT_EQ(out.records[0].info.clipped_points, 0);
  EXPECT_NEAR(WhiteOf(StitchRecords(out.records, 10), 1e3, 1e5), 2000.0, 100.0);
}

// An instrument that takes fewer points a read: the reads halve until it answers.
TEST(Capture, RefusedReadsAreHalvedUntilTheInstrumentTakesThem) {
  SimChannel ch(Quiet(200.0));
  sim::FaultSettings faults;
  faults.max_read_points = 30000;
  ch.instrument.SetFaults(faults);
  const CaptureOutcome out = RunCapture(ch, OneRecord(), {});
  ASSERT_FALSE(out.error) << out.error->what();
  ASSERT_EQ(out.records.size(), 1u);
  EXPECT_EQ(out.records[0].info.points, 100000u);
}

// What was read before a failure is kept: the complete record, and the one cut short.
TEST(Capture, AFailureAfterACompleteRecordKeepsIt) {
  SimChannel ch(Quiet(200.0));
  int singles = 0;
  ch.hook = [&](std::string_view command, std::size_t) {
    singles += command == ":SINGle";
    // The second record's first chunk arrives, then the connection is gone.
    if (singles == 6 && command == ":WAVeform:STARt 31251") ch.Close();
  };
  sim::FaultSettings small;
  small.max_read_points = 60000;  // reads of 31250 points, once halved
  ch.instrument.SetFaults(small);
  const CaptureOutcome out = RunCapture(ch, TwoRecords(), {});
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->kind(), ErrorKind::kInstrument);
  EXPECT_NE(std::string(out.error->what()).find("closed the connection"), std::string::npos) << out.error->what();
  ASSERT_EQ(out.records.size(), 1u);
  ASSERT_TRUE(out.unfinished);
  EXPECT_GT(out.unfinished->info.points, 0u);
  EXPECT_LT(out.unfinished->info.points, 100000u);
  EXPECT_EQ(ch.sent.back(), ":RUN") << "the instrument is left running";
}

TEST(Capture, AStalledChunkEndsWithinItsBound) {
  SimChannel ch(Quiet(200.0));
  sim::FaultSettings faults;
  faults.fault = sim::Fault::StalledChunk;
  ch.instrument.SetFaults(faults);
  const auto started = std::chrono::steady_clock::now();
  const CaptureOutcome out = RunCapture(ch, OneRecord(), {});
  ASSERT_TRUE(out.error);
  EXPECT_NE(std::string(out.error->what()).find("stopped sending in the middle of a data block"), std::string::npos)
      << out.error->what();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(Capture, CancelStopsBetweenChunksAndSaysSo) {
  SimChannel ch(Quiet(200.0));
  std::atomic<bool> cancel{false};
  sim::FaultSettings small;
  small.max_read_points = 20000;
  ch.instrument.SetFaults(small);
  int data = 0;
  ch.hook = [&](std::string_view command, std::size_t) {
    if (command == ":WAVeform:DATA?" && ++data == 4) cancel = true;
  };
  CaptureSettings settings;
  settings.cancel = &cancel;
  const CaptureOutcome out = RunCapture(ch, TwoRecords(), settings);
  EXPECT_TRUE(out.cancelled);
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->kind(), ErrorKind::kInterrupted);
  EXPECT_TRUE(out.records.empty());
  EXPECT_EQ(ch.sent.back(), ":RUN");
}

// Preambles as instruments give them: the record's length or the read window's are both
// taken; anything else is refused before a code is converted.
TEST(Capture, APreambleThatDisagreesWithTheSetUpIsRefused) {
  for (const char* mode : {"record", "window"}) {
    SimChannel ch(Quiet(200.0));
    sim::FaultSettings faults;
    faults.preamble_points = std::string(mode) == "record" ? sim::PreamblePoints::Record : sim::PreamblePoints::Window;
    ch.instrument.SetFaults(faults);
    const CaptureOutcome out = RunCapture(ch, OneRecord(), {});
    EXPECT_FALSE(out.error) << mode << ": " << out.error->what();
  }
  SimChannel ch(Quiet(200.0));
  sim::FaultSettings faults;
  faults.fault = sim::Fault::BadPreamble;
  faults.bad_preamble_zero = true;
  ch.instrument.SetFaults(faults);
  const CaptureOutcome out = RunCapture(ch, OneRecord(), {});
  ASSERT_TRUE(out.error);
  EXPECT_NE(std::string(out.error->what()).find("no usable conversion"), std::string::npos) << out.error->what();
  EXPECT_EQ(ch.Count(":WAVeform:DATA?"), 0u);
}

}  // namespace
}  // namespace qvx

namespace qvx {
namespace {

// A level of volts never reaches a figure: the same noise at 0 V and on a regulator's 3.3 V
// gives the same low spectrum and 0.1-10 Hz figure.
TEST(Capture, ADcLevelChangesNoFigure) {
  CapturePlan plan;
  plan.records.push_back({100000, 2.0, 5000, 20.0, 0.1, 2000});  // 20 s at 5 kSa/s
  std::vector<NoiseSpectrum> spectra;
  for (double dc : {0.0, 3.3}) {
    test::SimChannel ch(Quiet(20000.0, dc));
    const CaptureOutcome out = RunCapture(ch, plan, {});
    ASSERT_FALSE(out.error) << out.error->what();
    spectra.push_back(StitchRecords(out.records, 10));
  }
  ASSERT_TRUE(spectra[0].lf && spectra[1].lf);
  EXPECT_NEAR(spectra[1].lf->rms_nv / spectra[0].lf->rms_nv, 1.0, 0.03);
  EXPECT_NEAR(WhiteOf(spectra[1], 0.2, 2) / WhiteOf(spectra[0], 0.2, 2), 1.0, 0.05);
  EXPECT_NEAR(spectra[0].lf->rms_nv, 20000.0 * std::sqrt(10.15), 0.1 * 20000.0 * std::sqrt(10.15));
}

}  // namespace
}  // namespace qvx
