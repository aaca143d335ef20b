#pragma once
// The "Noise Report" window: what the analysis layer makes of the last trace, as
// selectable text with a Copy button.
#include <QWidget>
#include <string>

#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"

class QPlainTextEdit;
class QPushButton;

namespace qvx {

// The report of one trace: white floor, 1/f corner, band and spot noise, and the
// correction from the window's levels to the true density.
std::string NoiseReportText(const NoiseSpectrum& s, const NoiseReport& r);

class NoiseReportWindow : public QWidget {
  Q_OBJECT

 public:
  // A window of its own that closes with `owner`.
  explicit NoiseReportWindow(QWidget* owner);

  // Replaces the text; showing the window is the caller's choice.
  void SetReportText(const std::string& text);

  QPlainTextEdit* Text = nullptr;
  QPushButton* BtnCopy = nullptr;
};

}  // namespace qvx
