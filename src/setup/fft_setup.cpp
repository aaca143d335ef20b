#include "setup/fft_setup.h"

#include "core/conversions.h"
#include "core/pause.h"

namespace qvx {
namespace {
constexpr const char* kSystemErrorQuery = ":SYSTem:ERRor?";
}  // namespace

std::string SetupCommand(const SetupStep& step, const WorkingState& s, const std::string& aveText) {
  std::string command(step.literal);
  switch (step.value) {
    case SetupValue::kNone:
      break;
    case SetupValue::kAveText:
      command += aveText;
      break;
    case SetupValue::kStartf:
      command += FloatToStr(s.Startf);
      break;
    case SetupValue::kEndf:
      command += FloatToStr(s.Endf);
      break;
    case SetupValue::kFftScale:
      command += FloatToStr(s.FftScale);
      break;
    case SetupValue::kFftOffset:
      command += FloatToStr(s.FftOffset);
      break;
    case SetupValue::kCh1Scale:
      command += s.Ch1Scale;
      break;
    case SetupValue::kTDiv:
      command += s.TDiv;
      break;
  }
  return command;
}

void RunFftSetup(InstrumentChannel& ch, const WorkingState& s, const std::string& aveText, const LogSink& log) {
  if (log) log("Initalyze FFT Parameter");
  for (const SetupStep& step : kFftSetupSteps) {
    ch.SendCommand(SetupCommand(step, s, aveText));
    if (step.pauseAfterMs > 0) Pause(step.pauseAfterMs);
  }
  const std::string reply = ch.QueryInstrument(kSystemErrorQuery);
  if (log) log(reply);
}

}  // namespace qvx
