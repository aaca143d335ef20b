#pragma once
// Single-parameter edits: Enter in the start, end or average box sends that one
// parameter; every other typed character goes through the numeric key filter.
#include <functional>
#include <string>
#include <string_view>

#include "link/instrument_channel.h"

namespace qvx {

inline constexpr char kEnterKey = 13;
inline constexpr char kBackspaceKey = 8;

inline constexpr const char* kStartFrequencyCommand = ":MATH1:FFT:FREQuency:STARt ";
inline constexpr const char* kEndFrequencyCommand = ":MATH1:FFT:FREQuency:END ";
inline constexpr const char* kAverageCountCommand = ":MATH1:FFT:AVCNt ";

inline constexpr int kAverageCountMin = 1;
inline constexpr int kAverageCountMax = 64;

// Lets digits, the point and backspace through; sets every other key to 0.
void NumericKeyFilter(char& key);

// Enter in a frequency box: selects the box's text, sends commandLiteral + the
// text unchanged, then stores the converted text in target. A text that is not
// a number throws EConvertError after the send, leaving target as it was.
void FrequencyEnter(InstrumentChannel& ch, std::string_view commandLiteral, const std::string& boxText, double& target,
                    const std::function<void()>& selectAll);

// Enter in the average box: the text must be a decimal integer (else
// EConvertError before anything is sent); a count of 1 to 64 selects the text
// and sends it unchanged, any other count is ignored silently.
void AverageEnter(InstrumentChannel& ch, const std::string& boxText, const std::function<void()>& selectAll);

}  // namespace qvx
