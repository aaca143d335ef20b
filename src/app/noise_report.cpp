#include "app/noise_report.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "analysis/noise_files.h"

namespace qvx {
namespace {

constexpr const char* kDensityUnit = " nV/\u221AHz";

}  // namespace

std::string NoiseReportText(const NoiseSpectrum& s, const NoiseReport& r) {
  std::string out = "Trace        " + FormatHz(r.first_hz) + " - " + FormatHz(r.end_hz) + ", " +
                    Counted(static_cast<int>(s.points.size()), "point");
  if (!s.acquisitions.empty()) out += ", RBW " + FormatSignificant(s.acquisitions.front().rbw_hz, 4) + " Hz";
  if (s.averages > 0) out += ", " + Counted(s.averages, "average");
  out += "\n";

  if (std::isfinite(r.fit.white_nv)) {
    out += "White floor  " + FormatSignificant(r.fit.white_nv, 4) + kDensityUnit + "  (" +
           Counted(r.fit.points, "point") + ", " + std::to_string(r.fit.rejected) + " rejected as spurs)\n";
    out += "1/f corner   " + CornerText(r.fit) + "\n";
  } else {
    out += "White floor  not found (too few usable points)\n";
  }

  out += "Integrated noise (rms)\n";
  for (std::size_t i = 0; i < r.bands.size(); ++i) {
    const BandResult& b = r.bands[i];
    out += "  " + FormatHz(b.lo_hz) + " - " + FormatHz(b.hi_hz) + ": ";
    out += std::isfinite(b.rms_uv) ? FormatVolts(b.rms_uv * 1e-6) : std::string("not measured");
    if (i == 0) out += "  (the span)";
    if (b.clipped_points > 0) out += ", without " + Counted(b.clipped_points, "clipped point");
    out += "\n";
  }

  out += "Spot noise\n";
  for (const SpotResult& p : r.spots) {
    out += "  " + FormatHz(p.hz) + ": " + FormatSignificant(p.nv, 4) + kDensityUnit + "  (" +
           Counted(p.points, "point") + ", " + Counted(p.bins, "distinct FFT bin") + ")\n";
  }
  if (r.spots.empty()) out += "  none of 10 Hz, 100 Hz, 1 kHz, 10 kHz is resolved in this span\n";

  const double enbw = s.window.enbw;
  out += "Correction   " + s.window.name + " window (" + s.window_source + "), ENBW " + FormatSignificant(enbw, 4) +
         " bins\n             density = level / \u221A" + FormatSignificant(enbw, 4) + " = level \u00D7 " +
         FormatSignificant(1.0 / std::sqrt(enbw), 4) + "\n";
  out += "Levels       as measured, before the video filter\n";
  if (r.flags.clipped > 0) {
    out += "Left out     " + Counted(r.flags.clipped, "clipped point") + " (the trace byte at 0 or 255)\n";
  }
  if (r.flags.repeated_bin > 0) {
    out += "Repeated     " + Counted(r.flags.repeated_bin, "point") +
           " show the FFT bin before them again (the span holds fewer bins)\n";
  }
  return out;
}

NoiseReportWindow::NoiseReportWindow(QWidget* owner) : QWidget(owner, Qt::Window) {
  setWindowTitle(QStringLiteral("Noise Report"));
  Text = new QPlainTextEdit(this);
  Text->setReadOnly(true);  // still selectable
  Text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Text->setLineWrapMode(QPlainTextEdit::NoWrap);
  Text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  BtnCopy = new QPushButton(QStringLiteral("Copy"), this);
  BtnCopy->setAutoDefault(true);  // Enter on the focused button presses it
  connect(BtnCopy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(Text->toPlainText()); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BtnCopy);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Text);
  layout->addLayout(buttons);
  resize(600, 380);
}

void NoiseReportWindow::SetReportText(const std::string& text) { Text->setPlainText(QString::fromStdString(text)); }

}  // namespace qvx
