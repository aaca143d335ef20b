#include "spectrum/y_axis.h"

#include "core/conversions.h"

namespace qvx {

void ApplyYRange(AxisModel& axis, const std::string& yMaxText, const std::string& yMinText) {
  axis.SetMaximum(StrToFloat(yMaxText));
  axis.SetMinimum(StrToFloat(yMinText));
}

void ApplyYAxisMode(bool autoChecked, AxisModel& axis, const std::function<void(bool)>& setYMinEnabled,
                    const std::function<void(bool)>& setYMaxEnabled, const std::string& yMaxText,
                    const std::string& yMinText) {
  if (autoChecked) {
    axis.SetAutomatic(true);
    if (setYMinEnabled) setYMinEnabled(false);
    if (setYMaxEnabled) setYMaxEnabled(false);
    return;
  }
  if (setYMinEnabled) setYMinEnabled(true);
  if (setYMaxEnabled) setYMaxEnabled(true);
  axis.SetAutomatic(false);
  ApplyYRange(axis, yMaxText, yMinText);
}

}  // namespace qvx
