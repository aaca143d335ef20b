#pragma once
// A run's measurement, whatever its method, up to the spectrum at the converter. Internal to run/.
#include <optional>
#include <string>
#include <vector>

#include "analysis/noise_spectrum.h"
#include "core/errors.h"

namespace qvx {

struct MeasuredRun {
  NoiseSpectrum spectrum;
  bool measured = false;
  std::optional<RunError> error;
  bool cancelled = false;
  std::vector<std::string> records;  // raw record files, in order
};

}  // namespace qvx
