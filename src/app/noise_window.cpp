#include "app/noise_window.h"

#include <QChart>
#include <QChartView>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cctype>
#include <cmath>
#include <limits>

#include "analysis/noise_files.h"
#include "app/application.h"
#include "app/chart_menu.h"
#include "app/history_panel.h"
#include "app/tform1.h"
#include "plot/noise_plot.h"
#include "plot/run_images.h"
#include "core/conversions.h"
#include "settings/instrument_settings.h"
#include "settings/store_settings.h"
#include "sweep/sweep_plan.h"

namespace qvx {
namespace {

constexpr const char* kRecordItem = "Time record";
constexpr const char* kSweepItem = "Instrument FFT sweep";
constexpr const char* kCrossItem = "Cross-spectrum (two channels)";
constexpr int kCrossIndex = 2;

QString Q(const std::string& text) { return QString::fromStdString(text); }

QPushButton* MakeButton(const char* text, QWidget* parent) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);
  button->setAutoDefault(false);
  return button;
}

// ".json" -> "json"; "" when the name has none.
std::string ExtensionOf(const std::string& path) {
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// What was done to the levels to make them the circuit's density.
std::string CorrectionLine(const NoiseSpectrum& s) {
  std::string line = "correction  ";
  if (s.method == kMethodCross) {
    line += "none needed for the window: the circuit's density is sqrt(Re Sxy / (g1 g2)) of the two channels";
  } else if (s.method == kMethodRecord) {
    line += "none needed for the window: Welch with " + s.window.name + " (ENBW " +
            FormatSignificant(s.window.enbw, 4) + " bins) gives the density itself";
  } else {
    line += s.window.name + " window (" + s.window_source + "), ENBW " + FormatSignificant(s.window.enbw, 4) +
            " bins: density = level x " + FormatSignificant(1.0 / std::sqrt(s.window.enbw), 4);
  }
  line += "; " + (s.input_referred ? s.gain_text + ", input-referred" : std::string("no gain: at the converter"));
  line +=
      "; " + (s.floor_source.empty() ? std::string("no floor subtracted") : "floor " + s.floor_source + " subtracted");
  return line + "\n";
}

}  // namespace

NoiseMeasurementWindow::NoiseMeasurementWindow(TForm1& form) : QWidget(&form, Qt::Window), form_(form) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QString::fromUtf8(kNoiseWindowTitle));
  resize(1240, 820);
  CreateControls();
  const NoiseSettingsRead read = ReadNoiseSettings(TIniFile(kSettingsFileName));
  SetFields(read.settings);
  std::string problems;
  for (const std::string& p : read.problems) problems += (problems.empty() ? "" : "\n") + p;
  SetMessage(problems, !problems.empty());
  History->SetLocation(ReadStoreLocation(TIniFile(kSettingsFileName)));
  UpdateMethod();
  UpdatePlan();
  poll_ = new QTimer(this);
  poll_->setInterval(100);
  connect(poll_, &QTimer::timeout, this, [this] { RunHandler([this] { Poll(); }); });
}

NoiseMeasurementWindow::~NoiseMeasurementWindow() {
  WriteSettings();
  if (state_ == JobState::kRunning) {
    job_.Cancel();
    form_.SetInstrumentBlocked(false);
  }
}

void NoiseMeasurementWindow::CreateControls() {
  auto* controls = new QWidget(this);
  auto* form = new QFormLayout;
  Method = new QComboBox(controls);
  Method->addItems({QString::fromUtf8(kRecordItem), QString::fromUtf8(kSweepItem), QString::fromUtf8(kCrossItem)});
  From = new QLineEdit(controls);
  To = new QLineEdit(controls);
  Ppd = new QSpinBox(controls);
  Ppd->setRange(1, 100);
  Averages = new QSpinBox(controls);
  Averages->setRange(1, 64);
  Seconds = new QLineEdit(controls);
  Seconds->setPlaceholderText(QStringLiteral("as planned"));
  Averaging = new QComboBox(controls);
  Averaging->addItems({QStringLiteral("mean"), QStringLiteral("median")});
  Gain = new QLineEdit(controls);
  Gain->setPlaceholderText(QStringLiteral("ratio, or dB such as 40 dB"));
  Gain2 = new QLineEdit(controls);
  Gain2->setPlaceholderText(QStringLiteral("as channel 1's"));
  form->addRow(QStringLiteral("Method"), Method);
  form->addRow(QStringLiteral("From (Hz)"), From);
  form->addRow(QStringLiteral("To (Hz)"), To);
  form->addRow(QStringLiteral("Points per decade"), Ppd);
  form->addRow(QStringLiteral("Averages (FFT)"), Averages);
  form->addRow(QStringLiteral("Seconds (record)"), Seconds);
  form->addRow(QStringLiteral("Averaging"), Averaging);
  form->addRow(QStringLiteral("Gain"), Gain);
  form->addRow(QStringLiteral("Gain (channel 2)"), Gain2);
  auto fileRow = [&](const char* label, FileField& field, const char* caption) {
    auto* row = new QHBoxLayout;
    field.Path = new QLineEdit(controls);
    field.Choose = MakeButton("...", controls);
    field.Choose->setToolTip(QString::fromUtf8(caption));
    field.Choose->setFixedWidth(32);
    field.Clear = MakeButton("Clear", controls);
    field.Clear->setFixedWidth(56);
    row->addWidget(field.Path, 1);
    row->addWidget(field.Choose);
    row->addWidget(field.Clear);
    form->addRow(QString::fromUtf8(label), row);
    QLineEdit* path = field.Path;
    connect(field.Choose, &QPushButton::clicked, this, [this, path, caption] {
      QFileDialog dialog(this, QString::fromUtf8(caption));
      dialog.setOption(QFileDialog::DontUseNativeDialog);
      dialog.setFileMode(QFileDialog::ExistingFile);
      dialog.setDirectory(path->text().isEmpty() ? QDir::currentPath() : QFileInfo(path->text()).absolutePath());
      if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        path->setText(dialog.selectedFiles().front());
    });
    connect(field.Clear, &QPushButton::clicked, path, &QLineEdit::clear);
  };
  fileRow("Gain file", GainFile, "A file of frequency (Hz) and gain (dB) lines");
  fileRow("Floor file", FloorFile, "A JSON or CSV of a run with the input shorted");
  fileRow("Limit file", LimitFile, "A mask of frequency and largest density (nV/sqrt(Hz)) lines");

  BtnStart = MakeButton("Start", controls);
  BtnStart->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  BtnCancel = MakeButton("Cancel", controls);
  BtnCancel->setShortcut(QKeySequence(Qt::Key_Escape));
  BtnSave = MakeButton("Save...", controls);
  BtnSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  BtnCopy = MakeButton("Copy Report", controls);
  BtnCopy->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
  for (QPushButton* b : {BtnStart, BtnCancel, BtnSave, BtnCopy})
    b->setToolTip(b->shortcut().toString(QKeySequence::NativeText));
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {BtnStart, BtnCancel, BtnSave, BtnCopy}) buttons->addWidget(b);

  Plan = new QLabel(controls);
  Plan->setWordWrap(true);
  Plan->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Plan->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Progress = new QProgressBar(controls);
  Progress->setRange(0, 1000);
  Progress->setValue(0);
  Progress->setTextVisible(true);
  Progress->setFormat(QStringLiteral("idle"));
  Message = new QLabel(controls);
  Message->setWordWrap(true);
  Message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Message->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  auto* left = new QVBoxLayout(controls);
  left->addLayout(form);
  left->addLayout(buttons);
  left->addWidget(Plan);
  left->addWidget(Progress);
  left->addWidget(Message, 1);
  controls->setFixedWidth(380);

  auto chartView = [this] {
    auto* view = new QChartView(this);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumSize(200, 300);
    return view;
  };
  Plot = chartView();
  Plot->setMinimumSize(400, 300);
  AllanPlot = chartView();
  TimePlot = chartView();
  HistogramPlot = chartView();
  auto* timePage = new QWidget(this);
  auto* timeRow = new QHBoxLayout(timePage);
  timeRow->setContentsMargins(0, 0, 0, 0);
  timeRow->addWidget(TimePlot, 3);
  timeRow->addWidget(HistogramPlot, 1);
  PlotTabs = new QTabWidget(this);
  PlotTabs->addTab(Plot, QStringLiteral("Spectrum"));
  PlotTabs->addTab(AllanPlot, QStringLiteral("Allan deviation"));
  PlotTabs->addTab(timePage, QStringLiteral("Record in time"));
  PlotTabs->setTabEnabled(1, false);
  PlotTabs->setTabEnabled(2, false);
  Report = new QPlainTextEdit(this);
  Report->setReadOnly(true);
  Report->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Report->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  Report->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  History = new HistoryPanel(this);
  History->ShowChart = [this](QChart* chart) {
    ShowChart(Plot, chart);
    PlotTabs->setCurrentWidget(Plot);
  };
  History->ShowReport = [this](const std::string& text) {
    Report->setPlainText(Q(text));
    Tabs->setCurrentWidget(Report);
  };
  Tabs = new QTabWidget(this);
  Tabs->addTab(Report, QStringLiteral("Report"));
  Tabs->addTab(History, QStringLiteral("History"));
  auto* right = new QSplitter(Qt::Vertical, this);
  right->addWidget(PlotTabs);
  right->addWidget(Tabs);
  right->setStretchFactor(0, 3);
  right->setStretchFactor(1, 1);
  right->setSizes({500, 240});

  auto* top = new QHBoxLayout(this);
  top->addWidget(controls);
  top->addWidget(right, 1);

  connect(BtnStart, &QPushButton::clicked, this, [this] { RunHandler([this] { StartClick(); }); });
  connect(BtnCancel, &QPushButton::clicked, this, [this] { RunHandler([this] { CancelClick(); }); });
  connect(BtnSave, &QPushButton::clicked, this, [this] { RunHandler([this] { SaveClick(); }); });
  connect(BtnCopy, &QPushButton::clicked, this, [this] { RunHandler([this] { CopyReportClick(); }); });
  auto replan = [this] { UpdatePlan(); };
  for (QLineEdit* e : {From, To, Seconds, Gain2}) connect(e, &QLineEdit::textChanged, this, replan);
  connect(Ppd, &QSpinBox::valueChanged, this, replan);
  connect(Averages, &QSpinBox::valueChanged, this, replan);
  connect(Method, &QComboBox::currentIndexChanged, this, [this] {
    UpdateMethod();
    UpdatePlan();
  });
  connect(GainFile.Path, &QLineEdit::textChanged, this, [this] { UpdateMethod(); });
  BtnCancel->setEnabled(false);
  BtnSave->setEnabled(false);
}

void NoiseMeasurementWindow::SetFields(const NoiseSettings& s) {
  Method->setCurrentIndex(s.method == "fft" ? 1 : s.method == "cross" ? kCrossIndex : 0);
  From->setText(Q(NoiseNumberText(s.from_hz)));
  To->setText(Q(NoiseNumberText(s.to_hz)));
  Ppd->setValue(s.ppd);
  Averages->setValue(s.averages);
  Seconds->setText(Q(s.seconds));
  Averaging->setCurrentIndex(s.averaging == "median" ? 1 : 0);
  Gain->setText(Q(s.gain));
  Gain2->setText(Q(s.gain2));
  GainFile.Path->setText(Q(s.gain_file));
  FloorFile.Path->setText(Q(s.floor_file));
  LimitFile.Path->setText(Q(s.limit_file));
}

NoiseSettings NoiseMeasurementWindow::Fields() const {
  // A field that does not hold a usable value keeps the last one the file had.
  NoiseSettings s = ReadNoiseSettings(TIniFile(kSettingsFileName)).settings;
  s.method = Method->currentIndex() == 1 ? "fft" : Method->currentIndex() == kCrossIndex ? "cross" : "record";
  const auto from = ParseDecimal(From->text().trimmed().toStdString());
  const auto to = ParseDecimal(To->text().trimmed().toStdString());
  if (from && to && *from > 0 && *to > *from) {
    s.from_hz = *from;
    s.to_hz = *to;
  }
  s.ppd = Ppd->value();
  s.averages = Averages->value();
  const std::string seconds = Seconds->text().trimmed().toStdString();
  if (const auto v = ParseDecimal(seconds); seconds.empty() || (v && *v > 0)) s.seconds = seconds;
  s.averaging = Averaging->currentIndex() == 1 ? "median" : "mean";
  const std::string gain = Gain->text().trimmed().toStdString();
  if (ParseGainText(gain, nullptr)) s.gain = gain;
  const std::string gain2 = Gain2->text().trimmed().toStdString();
  if (ParseGainText(gain2, nullptr)) s.gain2 = gain2;
  s.gain_file = GainFile.Path->text().toStdString();
  s.floor_file = FloorFile.Path->text().toStdString();
  s.limit_file = LimitFile.Path->text().toStdString();
  return s;
}

void NoiseMeasurementWindow::UpdateMethod() {
  const bool sweep = Method->currentIndex() == 1;
  const bool cross = Method->currentIndex() == kCrossIndex;
  const bool idle = state_ != JobState::kRunning;
  Seconds->setEnabled(!sweep && idle);
  Seconds->setPlaceholderText(cross ? QStringLiteral("10 records") : QStringLiteral("as planned"));
  Averages->setEnabled(sweep && idle);
  Averaging->setEnabled(!cross && idle);
  // The cross-spectrum takes both gains as constants, and no floor run.
  Gain->setEnabled((cross || GainFile.Path->text().isEmpty()) && idle);
  Gain2->setEnabled(cross && idle);
  for (QWidget* w : std::initializer_list<QWidget*>{GainFile.Path, GainFile.Choose, GainFile.Clear, FloorFile.Path,
                                                    FloorFile.Choose, FloorFile.Clear}) {
    w->setEnabled(!cross && idle);
  }
}

std::optional<RunRequest> NoiseMeasurementWindow::Request(std::string& problem) const {
  RunRequest r;
  const bool cross = Method->currentIndex() == kCrossIndex;
  r.method = Method->currentIndex() == 1 ? RunMethod::kSweep : cross ? RunMethod::kCross : RunMethod::kRecord;
  const auto from = ParseDecimal(From->text().trimmed().toStdString());
  const auto to = ParseDecimal(To->text().trimmed().toStdString());
  if (!from || !(*from > 0)) {
    problem = "From wants a frequency in Hz above 0, not '" + From->text().toStdString() + "'";
    return std::nullopt;
  }
  if (!to || !(*to > *from)) {
    problem = "To wants a frequency in Hz above From, not '" + To->text().toStdString() + "'";
    return std::nullopt;
  }
  r.from_hz = *from;
  r.to_hz = *to;
  r.ppd = Ppd->value();
  r.fft.averages = Averages->value();
  const std::string seconds = Seconds->text().trimmed().toStdString();
  if (!seconds.empty()) {
    const auto v = ParseDecimal(seconds);
    if (!v || !(*v > 0)) {
      problem = std::string(cross ? "Seconds wants the recording's length" : "Seconds wants the record's length") +
                " in s above 0, or nothing for the plan's own, not '" + seconds + "'";
      return std::nullopt;
    }
    r.seconds = *v;
  }
  r.averaging = Averaging->currentIndex() == 1 && !cross ? psd::Averaging::Median : psd::Averaging::Mean;
  if (cross) {
    const std::string gain2 = Gain2->text().trimmed().toStdString();
    if (!gain2.empty()) {
      r.cross.gain2 = ParseGainText(gain2, &problem);
      if (!r.cross.gain2) {
        problem = "Gain (channel 2): " + problem;
        return std::nullopt;
      }
    }
  }
  return r;
}

void NoiseMeasurementWindow::UpdatePlan() {
  std::string problem;
  const auto request = Request(problem);
  if (!request) {
    Plan->setText(Q(problem));
    return;
  }
  const RunPlan plan = PlanRun(*request);
  Plan->setText(Q(plan.error.empty() ? plan.text
                                     : plan.error + (plan.sweep_within ? "; use the time record below that" : "")));
}

void NoiseMeasurementWindow::StartClick() {
  if (state_ == JobState::kRunning) return;
  std::string problem;
  auto request = Request(problem);
  if (request) {
    const RunPlan plan = PlanRun(*request);
    problem = plan.error.empty() ? "" : plan.error + (plan.sweep_within ? "; use the time record below that" : "");
  }
  CorrectionFiles files;
  const std::string gainText = Gain->text().trimmed().toStdString();
  const bool cross = request && request->method == RunMethod::kCross;
  // The cross-spectrum has no use for a gain file or a floor run; their fields stand aside.
  if (!cross) files.gain_file = GainFile.Path->text().toStdString();
  if (problem.empty() && files.gain_file.empty() && !gainText.empty()) {
    const auto ratio = ParseGainText(gainText, &problem);
    if (ratio) {
      files.gain.ratio = *ratio;
      files.gain.given = true;
    }
  }
  if (!cross) files.floor_file = FloorFile.Path->text().toStdString();
  files.limit_file = LimitFile.Path->text().toStdString();
  if (problem.empty()) {
    try {
      corrections_ = LoadCorrections(files);
    } catch (const RunError& e) {
      problem = e.what();
    }
  }
  if (!problem.empty()) {
    // Nothing was measured: the fields say what to mend, the state stays.
    SetMessage(problem, true);
    return;
  }
  const InstrumentSettings stored = ReadInstrumentSettings(TIniFile(kSettingsFileName), "");
  request->addr = form_.State().Addr;
  request->fft.ch1_scale = stored.Ch1Scale;
  request->fft.first_range = {stored.FftScale, stored.FftOffset};
  request->corrections = files;
  request->keep_records = true;
  request->store.enabled = true;
  request->store.location = History->Location();
  request->store.command = "window";
  run_.reset();
  records_.clear();
  recordFiles_.reset();
  floorWarning_.clear();
  Report->clear();
  SetMessage("", false);
  if (!job_.Start(*request)) return;
  // A new run starts on a clean plot: nothing of the last one's lingers until its first data.
  for (QChartView* view : {Plot, AllanPlot, TimePlot, HistogramPlot}) ShowChart(view, new QChart());
  PlotTabs->setCurrentWidget(Plot);
  PlotTabs->setTabEnabled(1, false);
  PlotTabs->setTabEnabled(2, false);
  form_.SetInstrumentBlocked(true);
  SetState(JobState::kRunning);
  Progress->setValue(0);
  poll_->start();
}

void NoiseMeasurementWindow::CancelClick() {
  if (state_ != JobState::kRunning) return;
  job_.Cancel();
  Progress->setFormat(QStringLiteral("cancelling"));
}

void NoiseMeasurementWindow::Poll() {
  if (state_ != JobState::kRunning) {
    poll_->stop();
    return;
  }
  const RunProgress p = job_.Progress();
  const int percent = static_cast<int>(std::floor(100 * p.fraction));
  Progress->setValue(static_cast<int>(std::lround(1000 * p.fraction)));
  Progress->setFormat(Q(p.phase + " - " + std::to_string(percent) + " %, " + FormatDuration(p.seconds_left) + " left"));
  setWindowTitle(Q(std::string(kNoiseWindowTitle) + " - measuring " + std::to_string(percent) + " %"));
  if (auto live = job_.TakeLive()) Show(*live, false);
  if (job_.State() != JobState::kRunning) Ended();
}

void NoiseMeasurementWindow::Ended() {
  poll_->stop();
  RunResult result = job_.TakeResult();
  form_.SetInstrumentBlocked(false);
  const JobState state = job_.State();
  SetState(state);
  records_ = result.records;
  recordFiles_ = result.record_files;
  if (result.measured) {
    Show(result.measured_spectrum, true);
  }
  const std::string message = result.error ? result.error->what() : "";
  switch (state) {
    case JobState::kDone:
      Progress->setValue(1000);
      Progress->setFormat(QStringLiteral("done - 100 %"));
      SetMessage(
          run_ && run_->report.limit && !run_->report.limit->pass ? "over the limit " + run_->report.limit->file : "",
          false);
      break;
    case JobState::kCancelled:
      Progress->setFormat(QStringLiteral("cancelled"));
      SetMessage(std::string("cancelled; ") +
                     (result.measured ? "what was measured is kept" : "nothing was measured yet") +
                     ", and the instrument is left running",
                 false);
      break;
    default:
      Progress->setFormat(QStringLiteral("failed"));
      SetMessage(message + (result.measured ? " (what was measured before is kept)" : ""), true);
      break;
  }
  if (result.store_error) {
    const std::string before = Message->text().toStdString();
    SetMessage(before + (before.empty() ? "" : "\n") + result.store_error->what() + "; the run is not kept there",
               true);
  }
  if (result.stored_id) History->Refresh();
}

void NoiseMeasurementWindow::Show(const NoiseSpectrum& measured, bool final) {
  FinishedRun run = FinishRun(measured, corrections_, {});
  if (corrections_.floor) {
    const std::string mismatch = FloorMismatch(*corrections_.floor, measured);
    floorWarning_ = mismatch.empty() ? ""
                                     : "warning: the floor " + corrections_.floor_file +
                                           " does not match this run: " + mismatch + "\n";
  }
  if (!final) {
    // The fit and its corner belong to the whole run.
    run.report.fit.white_nv = std::numeric_limits<double>::quiet_NaN();
    run.report.fit.corner_resolved = false;
  }
  ShowChart(Plot, BuildNoiseChart(run.spectrum, run.report));
  const bool time = final && run.spectrum.time && !run.spectrum.time->allan.empty();
  if (time) {
    const TimeRecordFigures& t = *run.spectrum.time;
    ShowChart(AllanPlot, BuildAllanChart(t, run.report.fit.white_nv, run.report.fit.corner_hz, QString()));
    ShowChart(TimePlot, BuildTimeChart(t, QString()));
    ShowChart(HistogramPlot, BuildHistogramChart(t));
  }
  PlotTabs->setTabEnabled(1, time);
  PlotTabs->setTabEnabled(2, time);
  if (final) {
    // Where, when and with what it was measured, so a copied report stands on its own.
    std::string measuredWith;
    if (!run.spectrum.date.empty() || !run.spectrum.idn.empty()) {
      measuredWith = "measured    " + run.spectrum.date + (run.spectrum.idn.empty() ? "" : " with " + run.spectrum.idn) +
                     (run.spectrum.addr.empty() ? "" : " at " + run.spectrum.addr) + "\n";
    }
    Report->setPlainText(Q(measuredWith + floorWarning_ + NoiseSummaryText(run.spectrum, run.report) +
                           CorrectionLine(run.spectrum)));
    run_ = std::move(run);
  }
  BtnSave->setEnabled(run_.has_value() && state_ != JobState::kRunning);
}

void NoiseMeasurementWindow::ShowChart(QChartView* view, QChart* chart) {
  QChart* old = view->chart();
  view->setChart(chart);
  delete old;
}

void NoiseMeasurementWindow::SetState(JobState state) {
  state_ = state;
  const bool running = state == JobState::kRunning;
  const char* suffix = state == JobState::kDone        ? " - done"
                       : state == JobState::kCancelled ? " - cancelled"
                       : state == JobState::kFailed    ? " - failed"
                       : running                       ? " - measuring 0 %"
                                                       : "";
  setWindowTitle(Q(std::string(kNoiseWindowTitle) + suffix));
  BtnStart->setEnabled(!running);
  BtnCancel->setEnabled(running);
  BtnSave->setEnabled(!running && run_.has_value());
  for (QWidget* w : std::initializer_list<QWidget*>{Method, From, To, Ppd, Averaging, GainFile.Path, GainFile.Choose,
                                                    GainFile.Clear, FloorFile.Path, FloorFile.Choose, FloorFile.Clear,
                                                    LimitFile.Path, LimitFile.Choose, LimitFile.Clear}) {
    w->setEnabled(!running);
  }
  UpdateMethod();
}

void NoiseMeasurementWindow::SetMessage(const std::string& text, bool error) {
  Message->setText(Q(text));
  Message->setStyleSheet(error ? QStringLiteral("color: #b00000;") : QString());
}

std::string NoiseMeasurementWindow::SaveRun(const std::string& path) const {
  if (!run_) return "nothing is measured yet; Start a measurement first";
  const std::string ext = ExtensionOf(path);
  const std::string prefix = ext.empty() ? path : path.substr(0, path.size() - ext.size() - 1);
  RunFormats f;
  if (ext == "json") {
    f = {true, true, true, true, !records_.empty()};
  } else if (ext == "csv") {
    f.csv = true;
  } else if (ext == "png") {
    f.png = true;
  } else if (ext == "svg") {
    f.svg = true;
  } else if (ext == "npy" && !records_.empty()) {
    f.npy = true;
  } else {
    return "the name's extension chooses what is written: .json (the JSON, CSV, PNG and SVG" +
           std::string(records_.empty() ? "" : " and the raw record") + "), .csv, .png, .svg" +
           (records_.empty() ? "" : " or .npy");
  }
  std::vector<RecordFile> records;
  for (const std::string& path : records_) records.push_back({path, false});
  const ChartRunImages images;
  return WriteRunFiles(*run_, prefix, f, records, &images).problem;
}

void NoiseMeasurementWindow::SaveClick() {
  if (!run_ || state_ == JobState::kRunning) return;
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  QStringList filters{QStringLiteral("The run: JSON, CSV, PNG and SVG%1 (*.json)")
                          .arg(records_.empty() ? QString() : QStringLiteral(", NPY")),
                      QStringLiteral("CSV file (*.csv)"), QStringLiteral("PNG image (*.png)"),
                      QStringLiteral("SVG image (*.svg)")};
  if (!records_.empty()) filters << QStringLiteral("The raw record (*.npy)");
  const QString path = AskWhereToSave(
      {QStringLiteral("Save"), QDir::current().filePath(QStringLiteral("noise-%1.json").arg(stamp)), filters});
  if (path.isEmpty()) return;
  const std::string problem = SaveRun(path.toStdString());
  SetMessage(problem.empty() ? "saved " + path.toStdString() : problem, !problem.empty());
}

void NoiseMeasurementWindow::CopyReportClick() { QGuiApplication::clipboard()->setText(Report->toPlainText()); }

void NoiseMeasurementWindow::WriteSettings() {
  if (settingsWritten_) return;
  settingsWritten_ = true;
  TIniFile ini(kSettingsFileName);
  RunHandler([&] { WriteNoiseSettings(ini, Fields()); });
}

void NoiseMeasurementWindow::closeEvent(QCloseEvent* event) {
  if (state_ == JobState::kRunning) job_.Cancel();
  WriteSettings();
  event->accept();
}

}  // namespace qvx
