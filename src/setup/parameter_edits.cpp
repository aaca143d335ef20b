#include "setup/parameter_edits.h"

#include "core/conversions.h"

namespace qvx {

void NumericKeyFilter(char& key) {
  // Compare as unsigned so that bytes of 128 and above never look like digits.
  const auto c = static_cast<unsigned char>(key);
  const bool passes = (c >= '0' && c <= '9') || c == '.' || c == static_cast<unsigned char>(kBackspaceKey);
  if (!passes) key = 0;
}

void FrequencyEnter(InstrumentChannel& ch, std::string_view commandLiteral, const std::string& boxText, double& target,
                    const std::function<void()>& selectAll) {
  if (selectAll) selectAll();
  std::string command(commandLiteral);
  command += boxText;
  ch.SendCommand(command);
  target = StrToFloat(boxText);
}

void AverageEnter(InstrumentChannel& ch, const std::string& boxText, const std::function<void()>& selectAll) {
  const int count = StrToInt(boxText);
  if (count < kAverageCountMin || count > kAverageCountMax) return;
  if (selectAll) selectAll();
  ch.SendCommand(kAverageCountCommand + boxText);
}

}  // namespace qvx
