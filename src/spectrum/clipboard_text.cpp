#include "spectrum/clipboard_text.h"

#include "core/conversions.h"
#include "spectrum/filters.h"

namespace qvx {

std::string BuildClipboardText(const SpectrumBuffer& data, int filterIndex, bool freqList) {
  ResetAllFilters();
  std::string text;
  // Room for typical lines ("12345.678,-1234567.890\r\n"); longer ones just grow it.
  text.reserve(static_cast<std::size_t>(SPEC_POINTS) * (freqList ? 32 : 20));
  // Without a filter value the previous entry's text is written again.
  std::string level;
  for (const SpecPoint& p : data) {
    double y;
    if (FilterLevel(filterIndex, p.Level, y)) level = FormatFloat("0.000", y);
    if (freqList) {
      text += FormatFloat("0.000", p.Freq * 0.001);
      text += ',';
    }
    text += level;
    text += "\r\n";
  }
  return text;
}

}  // namespace qvx
