#pragma once
// The Y-axis controls: automatic mode or the range typed in the two boxes.
#include <functional>
#include <string>

#include "spectrum/axis_model.h"

namespace qvx {

// Maximum first, then minimum, each converted with StrToFloat. A conversion error
// or a refused bound throws; a bound set before it stays set.
void ApplyYRange(AxisModel& axis, const std::string& yMaxText, const std::string& yMinText);

// The "Y Axis Auto" rule, shared by start-up and the check box. Checked: automatic,
// then both boxes disabled. Unchecked: both boxes enabled, automatic off, then
// ApplyYRange.
void ApplyYAxisMode(bool autoChecked, AxisModel& axis, const std::function<void(bool)>& setYMinEnabled,
                    const std::function<void(bool)>& setYMaxEnabled, const std::string& yMaxText,
                    const std::string& yMinText);

}  // namespace qvx
