// The measurement window against the simulator: a time record run that blocks the main
// window's instrument controls only while it runs and saves what qvx71-noise writes, Esc
// during a run, and the instrument's FFT sweep.
#include <QRegularExpression>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/chart_menu.h"
#include "app/tform1.h"
#include "link/socket_channel.h"
#include "app/history_panel.h"
#include "app/noise_window.h"
#include "gui_support/gui_test.h"
#include "store/store.h"
#include "support/sim_fixture.h"

namespace qvx::test {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// qvx71-noise in the test's folder; its exit code.
int Noise(const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(QVX71_NOISE_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(QVX71_NOISE_PATH, argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class NoiseWindowRun : public ::testing::Test {
 protected:
  void Start(double timeScale, const std::vector<std::string>& noise) {
    GuiApp();
    sim::SimOptions opts;
    opts.noise.white_nv = 2000;
    opts.noise.corner_hz = 20;
    opts.noise.tones.clear();
    opts.noise.time_scale = timeScale;
    sim_ = StartSimulatorOnLoopback(opts);
    ASSERT_TRUE(sim_) << "no free loopback address for the simulator";
    std::vector<std::string> lines{"[QVX71]", "ADDR=" + sim_->Address(), "[NOISE]"};
    lines.insert(lines.end(), noise.begin(), noise.end());
    dir_.Write("QVX71CONT.INI", IniText(lines));
    form_ = std::make_unique<TForm1>(nullptr, &channel_);
    form_->ChartContextMenu()->NoiseMeasurement->trigger();
    window_ = form_->ChartContextMenu()->MeasurementWindow();
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    form_.reset();
    if (sim_) sim_->Stop();
  }
  bool Ends() {
    return WaitUntil([&] { return window_->State() != JobState::kRunning; }, std::chrono::seconds(120));
  }
  static double White(const nlohmann::json& j) { return j["white_nv"].get<double>(); }
  static double Width(const nlohmann::json& j) {
    return j["white_ci_nv"][1].get<double>() - j["white_ci_nv"][0].get<double>();
  }

  TempWorkDir dir_;
  ErrorBoxRecorder boxes_;
  std::unique_ptr<sim::Simulator> sim_;
  SocketChannel channel_;
  std::unique_ptr<TForm1> form_;
  NoiseMeasurementWindow* window_ = nullptr;
};

TEST_F(NoiseWindowRun, ARecordRunBlocksTheMainWindowOnlyWhileItRunsAndSavesTheProgramsFiles) {
  // Behind a 20 dB preamplifier the source's 2000 nV/sqrt(Hz) are 200 at the input, over a
  // mask of 150.
  dir_.Write("mask.txt", "10 150\n100000 150\n");
  Start(0.05, {"METHOD=record", "FROM=100", "TO=100000", "SECONDS=1", "GAIN=20 dB", "LIMITFILE=mask.txt"});
  EXPECT_TRUE(form_->BtnGetFFTData->isEnabled());
  window_->StartClick();
  EXPECT_FALSE(form_->BtnGetFFTData->isEnabled());
  EXPECT_FALSE(form_->BtnConnect->isEnabled());
  EXPECT_FALSE(form_->EditStartf->isEnabled());
  EXPECT_TRUE(WaitUntil([&] { return window_->windowTitle().startsWith("Noise Measurement - measuring"); }));
  ASSERT_TRUE(Ends());
  EXPECT_EQ(window_->windowTitle(), "Noise Measurement - done") << window_->Message->text().toStdString();
  for (QWidget* w :
       std::initializer_list<QWidget*>{form_->BtnConnect, form_->BtnIDN, form_->BtnAxisReasd, form_->BtnGetFFTData,
                                       form_->BtnSetFFT, form_->EditStartf, form_->EditEndf, form_->EditAve}) {
    EXPECT_TRUE(w->isEnabled());
  }
  const QString report = window_->Report->toPlainText();
  const QRegularExpressionMatch white = QRegularExpression("white floor ([0-9.]+) nV").match(report);
  ASSERT_TRUE(white.hasMatch()) << report.toStdString();
  EXPECT_NEAR(white.captured(1).toDouble(), 200.0, 4.0) << report.toStdString();
  EXPECT_TRUE(report.contains("limit       FAIL against mask.txt")) << report.toStdString();
  EXPECT_TRUE(report.contains("gain 20 dB")) << report.toStdString();
  EXPECT_EQ(window_->Message->text(), "over the limit mask.txt");
  ASSERT_EQ(window_->SaveRun(dir_.Path() + "/win.json"), "");
  for (const char* ext : {".json", ".csv", ".png", ".svg", ".npy"})
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() + "/win" + ext)) << ext;

  // The program's capture of the same settings writes the same files, figures within
  // their intervals; its analysis of the window's raw record gives the window's figures.
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(Noise({"capture", "--from", "100", "--to", "100000", "--seconds", "1", "--quiet", "--out", "cli",
                   "--format", "csv,json,png,svg,npy", "--gain-db", "20", "--limit", "mask.txt"}),
            5);
  ASSERT_EQ(Noise({"analyze", "win.npy", "--out", "again", "--quiet", "--gain-db", "20", "--limit", "mask.txt"}), 5);
  const auto win = nlohmann::json::parse(Slurp(cwd + "/win.json"));
  const auto cli = nlohmann::json::parse(Slurp(cwd + "/cli.json"));
  const auto again = nlohmann::json::parse(Slurp(cwd + "/again.json"));
  for (auto it = cli.begin(); it != cli.end(); ++it) EXPECT_TRUE(win.contains(it.key())) << it.key();
  EXPECT_EQ(win.size(), cli.size());
  EXPECT_EQ(win["log_points"], again["log_points"]);
  EXPECT_EQ(win["white_nv"], again["white_nv"]);
  EXPECT_NEAR(White(win), White(cli), Width(win) + Width(cli));
  const std::string winCsv = Slurp(cwd + "/win.csv");
  const std::string cliCsv = Slurp(cwd + "/cli.csv");
  EXPECT_EQ(winCsv.substr(0, winCsv.find('\n')), cliCsv.substr(0, cliCsv.find('\n')));
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(NoiseWindowRun, EscStopsARunAndLeavesTheInstrumentRunning) {
  Start(1.0, {"METHOD=record", "FROM=10", "TO=1000", "SECONDS=20"});
  window_->show();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
  window_->StartClick();
  ASSERT_TRUE(WaitUntil([&] { return window_->windowTitle().contains("measuring") && sim_->Lines().size() > 20; }));
  QTest::keyClick(window_, Qt::Key_Escape);
  ASSERT_TRUE(WaitUntil([&] { return window_->State() != JobState::kRunning; }, std::chrono::seconds(5)));
  EXPECT_EQ(window_->windowTitle(), "Noise Measurement - cancelled");
  EXPECT_TRUE(form_->BtnGetFFTData->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !sim_->Lines().empty() && sim_->Lines().back() == ":RUN"; }));
}

TEST_F(NoiseWindowRun, TheInstrumentsFftSweepRunsFromTheWindow) {
  Start(0.0, {"METHOD=fft", "FROM=1000", "TO=100000", "AVERAGES=1"});
  window_->StartClick();
  ASSERT_TRUE(Ends());
  EXPECT_EQ(window_->windowTitle(), "Noise Measurement - done") << window_->Message->text().toStdString();
  ASSERT_TRUE(window_->Run());
  EXPECT_EQ(window_->Run()->spectrum.acquisitions.size(), 2u);
  EXPECT_NEAR(window_->Run()->report.fit.white_nv, 2000, 0.05 * 2000);
  // Kept in the default store when it ended, and listed.
  ASSERT_EQ(window_->History->Runs->rowCount(), 1);
  EXPECT_EQ(store::OpenStore("qvx71-results.sqlite")->List({}).front().command, "window");
}

}  // namespace
}  // namespace qvx::test
