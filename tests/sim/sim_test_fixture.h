#pragma once
// A simulator on its own loopback address with one raw client connected to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/conversions.h"
#include "noise_model.h"
#include "simulator.h"
#include "support/raw_client.h"
#include "support/sim_fixture.h"

namespace qvx::test {

using namespace std::chrono_literals;

class SimClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = StartSimulatorOnLoopback();
    ASSERT_NE(sim_, nullptr);
    ASSERT_TRUE(client_.Connect(sim_->Address()));
    ASSERT_TRUE(sim_->WaitForAcceptedConnections(1, 5s));
  }

  std::string Ask(std::string_view line) {
    const auto reply = client_.Query(line);
    return reply ? *reply : std::string("<no reply>");
  }
  double AskNumber(std::string_view line) { return qvx::StrToFloat(Ask(line)); }

  void ChangeFaults(const std::function<void(qvx::sim::FaultSettings&)>& change) {
    auto faults = sim_->Faults();
    change(faults);
    sim_->SetFaults(faults);
  }

  // Reads one definite-length block; its data bytes, or nothing when it is malformed.
  std::optional<std::string> ReadBlock() {
    const auto header = client_.ReadBytes(11);
    if (!header || header->compare(0, 2, "#9") != 0) return std::nullopt;
    const std::size_t n = std::stoul(header->substr(2));
    auto data = client_.ReadBytes(n);
    const auto end = client_.ReadBytes(1);
    if (!data || end != "\n") return std::nullopt;
    return data;
  }

  // Levels in nV/sqrt(Hz), converted as the program does from the values the
  // instrument reports.
  std::vector<double> ReadLevels() {
    const double scale = AskNumber(":MATH1:FFT:SCALe?");
    const double offset = AskNumber(":MATH1:FFT:OFFSet?");
    const double tdiv = AskNumber(":TIMebase:MAIN:SCALe?");
    const double fs = AskNumber(":ACQuire:SRATe?");
    double points = 2.0;
    while (points < 10.0 * tdiv * fs) points *= 2.0;
    const double rbw = fs / points;
    client_.SendLine(":WAV:DATA?");
    const auto data = ReadBlock();
    std::vector<double> levels;
    if (!data) return levels;
    for (const char c : *data) {
      const double volts = qvx::sim::DecodeByte(static_cast<std::uint8_t>(c), scale, offset);
      levels.push_back(volts * 1e9 / std::sqrt(rbw));
    }
    return levels;
  }

  static double Quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
  }

  std::unique_ptr<qvx::sim::Simulator> sim_;
  RawClient client_;
};

}  // namespace qvx::test
