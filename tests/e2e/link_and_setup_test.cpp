// Connect, identification, set-up, status read and the parameter edits, pressed in
// the window against the simulator.
#include <QLineEdit>
#include <QTest>
#include <algorithm>

#include "e2e/e2e_fixture.h"

namespace qvx::test {
namespace {

using std::chrono::milliseconds;

TEST_F(EndToEnd, ConnectAndIdentify) {
  Connect();
  Click(form_->BtnIDN);
  EXPECT_EQ(form_->LogLines(), (std::vector<std::string>{"Connected", "QVX71-SIM,QVX71,SIM00001,1.0.0"}));
  EXPECT_EQ(sim_->RawBytes(1), "*IDN?\n");

  // A second press makes a new connection, closes the first, and is used from then on.
  Click(form_->BtnConnect);
  ASSERT_TRUE(sim_->WaitForAcceptedConnections(2, std::chrono::seconds(10)));
  EXPECT_TRUE(sim_->WaitForOpenConnections(1, std::chrono::seconds(10)));
  Click(form_->BtnIDN);
  EXPECT_EQ(form_->LogLines().size(), 4u);
  EXPECT_EQ(form_->LogLines()[2], "Connected");
  EXPECT_EQ(sim_->RawBytes(2), "*IDN?\n");
}

TEST_F(EndToEnd, ARefusedConnectionIsLoggedAndQueriesTimeOut) {
  sim_->SetFault(sim::Fault::RefuseConnections);
  Click(form_->BtnConnect);
  EXPECT_EQ(form_->LogLines(), std::vector<std::string>{"Fale Connec"});
  Click(form_->BtnIDN);
  EXPECT_EQ(form_->LogLines().back(), "TIMEOUT");
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(EndToEnd, SetParamSendsTheFifteenCommandsWithTheirPausesThenReadStatus) {
  Connect();
  const std::size_t logBefore = form_->LogLines().size();
  Click(form_->BtnSetFFT);
  EXPECT_EQ(LogSince(logBefore), (std::vector<std::string>{"Initalyze FFT Parameter", "0,\"No error\""}));

  const std::vector<std::string> expected = {":MATH1:DISPlay ON",
                                             ":MATH1:FFT:SOURce CHANnel1",
                                             ":MATH1:OPERator FFT",
                                             ":MATH1:FFT:WINDow HANNing",
                                             ":MATH1:FFT:AVCNt 32",
                                             ":MATH1:FFT:FREQuency:STARt 0",
                                             ":MATH1:FFT:FREQuency:END 100000",
                                             ":MATH1:FFT:UNIT VRMS",
                                             ":MATH1:FFT:SCALe 1E-8",
                                             ":MATH1:FFT:OFFSet -7E-8",
                                             ":CHANnel1:SCALe 0.0002",
                                             ":CHANnel1:PROBe 1",
                                             ":CHANnel1:IMPedance FIFTy",
                                             ":TIMebase:MAIN:SCALe 0.01",
                                             ":ACQuire:MDEPth 1M",
                                             ":SYSTem:ERRor?"};
  const auto commands = sim_->Commands();
  ASSERT_EQ(commands.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(commands[i].line, expected[i]) << i;
  // Pauses after steps 5, 7, 12 and 14. The simulator stamps a line when its thread gets to
  // it, so on a loaded machine the line before a pause can be stamped late; the margin
  // allows for that and still tells a pause from none.
  for (std::size_t step : {5u, 7u, 12u, 14u}) {
    const auto gap = std::chrono::duration_cast<milliseconds>(commands[step].at - commands[step - 1].at);
    EXPECT_GE(gap.count(), 450) << "pause after step " << step;
  }
  const auto sim = sim_->State();
  EXPECT_EQ(sim.avcnt, 32);
  EXPECT_EQ(sim.window, "HANN");
  EXPECT_EQ(sim.unit, "VRMS");

  const std::size_t afterSetup = form_->LogLines().size();
  Click(form_->BtnAxisReasd);
  EXPECT_TRUE(boxes_.Boxes().empty());
  EXPECT_EQ(LogSince(afterSetup), (std::vector<std::string>{"FFT Pts: 1048576", "Calc RBW: 9.537Hz", "startf 0",
                                                            "endf 100000", "Y Scale 1E-8", "Y offset -7E-8"}));
  EXPECT_DOUBLE_EQ(form_->State().Fs, 1e7);
  EXPECT_DOUBLE_EQ(form_->State().Rbw, 9.5367431640625);
  EXPECT_EQ(form_->State().TDiv, "0.01");
}

TEST_F(EndToEnd, StatusReadStopsAtTheFirstReplyThatIsNotANumber) {
  Connect();
  sim::SimState changed = sim_->State();
  changed.start_hz = 1000;
  changed.end_hz = 51000;
  sim_->SetState(changed);
  sim::FaultSettings faults;
  faults.fault = sim::Fault::SilentQuery;
  faults.silent_query = ":MATH1:FFT:FREQuency:END?";
  sim_->SetFaults(faults);
  Click(form_->BtnAxisReasd);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"'TIMEOUT' は浮動小数点数ではありません."});
  EXPECT_EQ(form_->State().Startf, 1000);
  EXPECT_EQ(form_->State().Endf, 100000);
  EXPECT_EQ(form_->LogLines(), std::vector<std::string>{"Connected"});

  // A memory depth in the abbreviated form ends every status read before Fs and Rbw.
  boxes_.Clear();
  sim_->SetFault(sim::Fault::MdepthAbbrev);
  Click(form_->BtnAxisReasd);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"'1M' は浮動小数点数ではありません."});
  EXPECT_EQ(form_->State().Endf, 51000);
  EXPECT_EQ(form_->State().Fs, 5e7);
  EXPECT_EQ(form_->State().Rbw, 0);
  EXPECT_EQ(form_->LogLines(), std::vector<std::string>{"Connected"});
}

TEST_F(EndToEnd, EnterInTheParameterBoxesSendsOneCommand) {
  Connect();
  auto enter = [&](QLineEdit* box, const char* text) {
    box->setFocus();
    box->clear();
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Return);
  };
  enter(form_->EditAve, "64");
  enter(form_->EditAve, "65");
  enter(form_->EditAve, "0");
  enter(form_->EditAve, "007");
  enter(form_->EditStartf, "1500");
  enter(form_->EditEndf, "-2.5e4");  // the minus sign, 'e' and '+' never reach the box
  Settle();
  EXPECT_EQ(SimLinesSince(0),
            (std::vector<std::string>{":MATH1:FFT:AVCNt 64", ":MATH1:FFT:AVCNt 007", ":MATH1:FFT:FREQuency:STARt 1500",
                                      ":MATH1:FFT:FREQuency:END 2.54", "*IDN?"}));
  EXPECT_EQ(form_->State().Startf, 1500);
  EXPECT_EQ(form_->State().Endf, 2.54);
  EXPECT_TRUE(boxes_.Boxes().empty());
  EXPECT_EQ(form_->LogLines(), std::vector<std::string>{"Connected"});

  // An empty start box: the command leaves with nothing behind the blank, then the error.
  sim_->ClearCommands();
  enter(form_->EditStartf, "");
  Settle();
  EXPECT_EQ(SimLinesSince(0), (std::vector<std::string>{":MATH1:FFT:FREQuency:STARt ", "*IDN?"}));
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"'' は浮動小数点数ではありません."});
  EXPECT_EQ(form_->State().Startf, 1500);

  // Typing without Enter changes nothing that Set Param sends.
  form_->EditStartf->setFocus();
  QTest::keyClicks(form_->EditStartf, "777");
  sim_->ClearCommands();
  Click(form_->BtnSetFFT);
  const auto lines = sim_->Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), ":MATH1:FFT:FREQuency:STARt 1500"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), ":MATH1:FFT:AVCNt 007"), lines.end());
}

TEST_F(EndToEnd, AnInstrumentThatHangsUpGivesTimeoutsAndNeverKillsTheProgram) {
  Connect();
  sim_->SetFault(sim::Fault::CloseOnQuery);
  Click(form_->BtnIDN);
  EXPECT_EQ(form_->LogLines().back(), "TIMEOUT");
  ASSERT_TRUE(sim_->WaitForOpenConnections(0, std::chrono::seconds(10)));
  Click(form_->BtnSetFFT);  // fifteen sends into a closed connection: no SIGPIPE
  Click(form_->BtnIDN);
  const auto log = form_->LogLines();
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{"Initalyze FFT Parameter", "TIMEOUT", "TIMEOUT"}));
}

}  // namespace
}  // namespace qvx::test
