#pragma once
// The "Set Param" sequence that puts MATH1 into the measurement configuration.
#include <array>
#include <string>
#include <string_view>

#include "core/log_sink.h"
#include "core/working_state.h"
#include "link/instrument_channel.h"
#include "setup/parameter_edits.h"

namespace qvx {

// What is appended to a step's literal (whose last character is the blank).
enum class SetupValue { kNone, kAveText, kStartf, kEndf, kFftScale, kFftOffset, kCh1Scale, kTDiv };

struct SetupStep {
  std::string_view literal;
  SetupValue value;
  int pauseAfterMs;  // 0: the next command follows at once
};

inline constexpr int kSetupPauseMs = 500;

inline constexpr std::array<SetupStep, 15> kFftSetupSteps{{
    {":MATH1:DISPlay ON", SetupValue::kNone, 0},
    {":MATH1:FFT:SOURce CHANnel1", SetupValue::kNone, 0},
    {":MATH1:OPERator FFT", SetupValue::kNone, 0},
    {":MATH1:FFT:WINDow HANNing", SetupValue::kNone, 0},
    {kAverageCountCommand, SetupValue::kAveText, kSetupPauseMs},
    {kStartFrequencyCommand, SetupValue::kStartf, 0},
    {kEndFrequencyCommand, SetupValue::kEndf, kSetupPauseMs},
    {":MATH1:FFT:UNIT VRMS", SetupValue::kNone, 0},
    {":MATH1:FFT:SCALe ", SetupValue::kFftScale, 0},
    {":MATH1:FFT:OFFSet ", SetupValue::kFftOffset, 0},
    {":CHANnel1:SCALe ", SetupValue::kCh1Scale, 0},
    {":CHANnel1:PROBe 1", SetupValue::kNone, kSetupPauseMs},
    {":CHANnel1:IMPedance FIFTy", SetupValue::kNone, 0},
    {":TIMebase:MAIN:SCALe ", SetupValue::kTDiv, kSetupPauseMs},
    {":ACQuire:MDEPth 1M", SetupValue::kNone, 0},
}};

// The command text of one step: numbers in FloatToStr form, texts unchanged.
std::string SetupCommand(const SetupStep& step, const WorkingState& s, const std::string& aveText);

// Logs "Initalyze FFT Parameter", sends the fifteen steps with their pauses,
// then logs the reply to the error query (or "TIMEOUT"). Changes no state.
void RunFftSetup(InstrumentChannel& ch, const WorkingState& s, const std::string& aveText, const LogSink& log);

}  // namespace qvx
