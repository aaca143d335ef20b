#include "spectrum/clipboard_text.h"

#include "core/conversions.h"
#include "spectrum/filters.h"

namespace qvx {

std::string BuildClipboardText(const SpectrumBuffer& data, int filterIndex, bool freqList) {
  ResetAllFilters();
  std::string text;
  // Room for typical lines ("12345.678,-1234567.890\r\n"); longer ones just grow it.
  text.reserve(static_cast<std::size_t>(SPEC_POINTS) * (freqList ? 32 : 20));
  for (const SpecPoint& p : data) {
    if (freqList) {
      AppendFormatFloat(text, "0.000", p.Freq * 0.001);
      text += ',';
    }
    // Without a selected filter there is no level text: the previous entry's, which is
    // empty from the first entry on, since the selection does not change within a pass.
    double y;
    if (FilterLevel(filterIndex, p.Level, y)) AppendFormatFloat(text, "0.000", y);
    text += "\r\n";
  }
  return text;
}

}  // namespace qvx
