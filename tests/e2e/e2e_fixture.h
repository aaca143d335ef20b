#pragma once
// The window against the simulator over real TCP on its own loopback address.
// Every test writes its own settings file pointing at that address first.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/tform1.h"
#include "gui_support/gui_test.h"
#include "link/socket_channel.h"
#include "simulator.h"
#include "support/sim_fixture.h"

namespace qvx::test {

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    sim_ = StartSimulatorOnLoopback();
    ASSERT_TRUE(sim_) << "no free loopback address for the simulator";
    dir_.Write("QVX71CONT.INI", IniText({"[QVX71]", "ADDR=" + sim_->Address()}));
    form_ = std::make_unique<TForm1>(nullptr, &channel_);
    ASSERT_EQ(form_->Channel().Address(), sim_->Address());
  }

  void TearDown() override {
    form_.reset();
    if (sim_) sim_->Stop();
  }

  void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  void Connect() {
    Click(form_->BtnConnect);
    ASSERT_FALSE(form_->LogLines().empty());
    ASSERT_EQ(form_->LogLines().back(), "Connected");
    ASSERT_TRUE(sim_->WaitForAcceptedConnections(1, std::chrono::seconds(10)));
  }

  // Log lines added after the first `from` lines.
  std::vector<std::string> LogSince(std::size_t from) const {
    auto lines = form_->LogLines();
    if (from >= lines.size()) return {};
    return {lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()};
  }

  // Lines the simulator received from index `from` on.
  std::vector<std::string> SimLinesSince(std::size_t from) const {
    auto lines = sim_->Lines();
    if (from >= lines.size()) return {};
    return {lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()};
  }

  // Makes sure everything sent so far has arrived: a query's answer comes after them.
  void Settle() {
    const std::size_t before = sim_->Lines().size();
    ASSERT_NE(form_->QueryInstrument("*IDN?"), "TIMEOUT");
    ASSERT_TRUE(sim_->WaitForCommandCount(before + 1, std::chrono::seconds(10)));
  }

  TempWorkDir dir_;
  ErrorBoxRecorder boxes_;
  std::unique_ptr<sim::Simulator> sim_;
  SocketChannel channel_;
  std::unique_ptr<TForm1> form_;
};

}  // namespace qvx::test
