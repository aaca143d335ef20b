#include "app/tform1.h"

#include <QByteArray>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QEvent>
#include <QFont>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QVariant>

#include "app/application.h"
#include "app/chart_menu.h"
#include "app/noise_window.h"
#include "settings/instrument_settings.h"
#include "app/window_icon.h"
#include "core/conversions.h"
#include "link/socket_channel.h"
#include "setup/fft_setup.h"
#include "setup/parameter_edits.h"
#include "setup/rbw.h"
#include "setup/status_read.h"
#include "plot/chart_view.h"
#include "spectrum/clipboard_text.h"
#include "spectrum/plot.h"
#include "spectrum/trace.h"
#include "spectrum/y_axis.h"

namespace qvx {

TForm1* Form1 = nullptr;

SocketChannel& InstrumentLink() {
  static SocketChannel link;
  return link;
}

namespace {

// A box seeded from the settings file keeps the loaded bytes beside its text: a value
// that is not UTF-8 cannot be shown as it is, yet must be saved back unchanged.
constexpr const char* kLoadedBytes = "qvxLoadedBytes";
constexpr const char* kLoadedShown = "qvxLoadedShown";

void SetLoadedText(QLineEdit* edit, const std::string& bytes) {
  edit->setText(QString::fromStdString(bytes));
  edit->setProperty(kLoadedBytes, QByteArray::fromStdString(bytes));
  edit->setProperty(kLoadedShown, edit->text());
}

}  // namespace

// The loaded bytes for as long as the box still shows what was loaded, else its text.
std::string TextOf(const QLineEdit* edit) {
  const QString text = edit->text();
  const QVariant shown = edit->property(kLoadedShown);
  if (shown.isValid() && shown.toString() == text) return edit->property(kLoadedBytes).toByteArray().toStdString();
  return text.toStdString();
}

namespace {

constexpr const char* kSectionInstrument = kSettingsSectionInstrument;
constexpr const char* kSectionDisplay = kSettingsSectionDisplay;
constexpr const char* kCaptionPrefix = "QVX71 Cotroller addr:";

// The Japanese-capable proportional face the layout was drawn for is not on Linux;
// IPAPGothic is its closest match, a few percent wider in Latin text, so it is
// narrowed to keep every caption inside its control.
QFont FaceOfSize(int pixels) {
  QFont font(QStringLiteral("IPAPGothic"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixels);
  font.setStretch(93);
  return font;
}

template <typename W>
W* Place(W* widget, int left, int top, int width, int height, int fontPixels) {
  widget->setGeometry(left, top, width, height);
  if (fontPixels > 0) widget->setFont(FaceOfSize(fontPixels));
  return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* caption, int l, int t, int w, int h) {
  auto* label = new QLabel(QString::fromUtf8(caption), parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return Place(label, l, t, w, h, 16);
}

QPushButton* MakeButton(QWidget* parent, const char* caption, int l, int t, int w, int h) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setAutoDefault(false);
  return Place(button, l, t, w, h, 16);
}

QLineEdit* MakeEdit(QWidget* parent, int l, int t, int w, int h) {
  return Place(new QLineEdit(parent), l, t, w, h, 16);
}

QPlainTextEdit* MakeMemo(QWidget* parent, int l, int t, int w, int h, int fontPixels) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo->setTabChangesFocus(true);  // the memos take typed text, but Tab moves on through the tab order
  return Place(memo, l, t, w, h, fontPixels);
}

QCheckBox* MakeCheck(QWidget* parent, const char* caption, int l, int t, int w, int h) {
  return Place(new QCheckBox(QString::fromUtf8(caption), parent), l, t, w, h, 16);
}

// Anything beyond ASCII reaches a key handler as a code the number filter rejects.
char KeyCode(QChar c) { return c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : static_cast<char>(0xFF); }

// The typed character a key press stands for, as a key handler sees it: Enter is
// 13, Backspace 8, Ctrl+letter 1..26. Keys that type nothing (arrows, Home, End,
// Delete, F-keys, Tab) give false and keep their normal effect.
bool TypedCharacter(const QKeyEvent* event, char& key) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      key = kEnterKey;
      return true;
    case Qt::Key_Backspace:
      key = kBackspaceKey;
      return true;
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return false;
    default:
      break;
  }
  const QString text = event->text();
  if (text.isEmpty()) return false;
  key = KeyCode(text.at(0));
  return true;
}

// Text an input method commits is typed text as well: only the characters the
// number filter lets through (digits and the point) reach the box. Returns true
// when the event was replaced by its filtered copy.
bool FilterCommittedText(QWidget* box, const QInputMethodEvent* event) {
  const QString commit = event->commitString();
  QString kept;
  for (const QChar c : commit) {
    char key = KeyCode(c);
    NumericKeyFilter(key);
    if (key != 0 && key != kBackspaceKey) kept += c;
  }
  if (kept == commit) return false;
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
  QCoreApplication::sendEvent(box, &filtered);
  return true;
}

// Enter on a focused push button presses it, as Space does.
bool PressOnEnter(QPushButton* button, const QKeyEvent* event) {
  if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) return false;
  if (!event->isAutoRepeat()) button->click();
  return true;
}

// The number boxes' key rule: Enter applies the box and is swallowed (an error from
// applying ends the handler first, and the event filter swallows Enter anyway);
// every other typed character goes through the numeric filter.
template <typename Apply>
void OnEnter(char& key, Apply&& apply) {
  if (key != kEnterKey) {
    NumericKeyFilter(key);
    return;
  }
  apply();
  key = 0;
}

}  // namespace

TForm1::TForm1(QWidget* parent, SocketChannel* channel)
    : QWidget(parent), channel_(channel ? channel : &InstrumentLink()) {
  Form1 = this;
  setWindowTitle(QStringLiteral("Form1"));
  setWindowIcon(WindowIcon());
  setFont(FaceOfSize(12));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  setFixedSize(799, 515);
  move(727, 382);
  CreateControls();
  BindEvents();
  FormCreate();
}

TForm1::~TForm1() {
  // The measurement window goes first: it unblocks these controls as it ends.
  delete chartMenu_->MeasurementWindow();
  RunHandler([this] { FormDestroy(); });
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::CreateControls() {
  Label5 = MakeLabel(this, "Average", 104, 48, 55, 16);
  Label1 = MakeLabel(this, "Start Freq.(Hz)     End Freq.(Hz)", 112, 0, 218, 16);
  Label2 = MakeLabel(this, "Vide Filter", 176, 48, 69, 16);
  Label3 = MakeLabel(this, "Y_Min            Y_MAX", 384, 40, 143, 16);
  BtnConnect = MakeButton(this, "Connect", 16, 16, 75, 25);
  BtnIDN = MakeButton(this, "BtnIDN", 704, 16, 75, 25);
  MemLog = MakeMemo(this, 608, 96, 185, 417, 13);
  BtnAxisReasd = MakeButton(this, "ReadSTAT", 600, 16, 89, 25);
  BtnGetFFTData = MakeButton(this, "データ取得", 256, 56, 91, 25);
  BtnSetFFT = MakeButton(this, "Set Param", 16, 56, 81, 25);
  Chart1 = Place(new ChartView(this), 0, 96, 609, 417, 0);
  ChkFreqList = MakeCheck(this, "FreqList", 704, 56, 81, 17);
  BtnClipBorad = MakeButton(this, "To Clipboad", 600, 56, 91, 25);
  EditStartf = MakeEdit(this, 104, 16, 121, 24);
  EditEndf = MakeEdit(this, 232, 16, 121, 24);
  EditAve = MakeEdit(this, 104, 64, 57, 24);
  Memo1 = MakeMemo(this, 800, 96, 169, 417, 12);
  CmbMoveAve = Place(new QComboBox(this), 176, 64, 65, 24, 16);
  CmbMoveAve->addItems(
      {QStringLiteral("none"), QStringLiteral("A4"), QStringLiteral("A8"), QStringLiteral("M4"), QStringLiteral("M8")});
  CmbMoveAve->setCurrentIndex(0);
  EditYMax = MakeEdit(this, 472, 56, 73, 24);
  EditYMin = MakeEdit(this, 376, 56, 73, 24);
  ChkYAuto = MakeCheck(this, "Y Axis Auto", 376, 16, 97, 17);

  // Tab order 0..16 as the controls are numbered; labels take no focus.
  QWidget* order[] = {BtnConnect, BtnIDN,      MemLog,       BtnAxisReasd, BtnGetFFTData, BtnSetFFT,
                      Chart1,     ChkFreqList, BtnClipBorad, EditStartf,   EditEndf,      EditAve,
                      Memo1,      CmbMoveAve,  EditYMax,     EditYMin,     ChkYAuto};
  Chart1->setFocusPolicy(Qt::TabFocus);
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

template <typename Handler>
void TForm1::Run(Handler&& handler) {
  RunHandler([&] {
    try {
      handler();
    } catch (...) {
      SyncChart();  // what the handler changed before it failed stays visible
      throw;
    }
    SyncChart();
  });
}

void TForm1::BindEvents() {
  connect(BtnConnect, &QPushButton::clicked, this, [this] { Run([this] { BtnConnectClick(); }); });
  connect(BtnIDN, &QPushButton::clicked, this, [this] { Run([this] { BtnIDNClick(); }); });
  connect(BtnAxisReasd, &QPushButton::clicked, this, [this] { Run([this] { BtnAxisReasdClick(); }); });
  connect(BtnGetFFTData, &QPushButton::clicked, this, [this] { Run([this] { BtnGetFFTDataClick(); }); });
  connect(BtnSetFFT, &QPushButton::clicked, this, [this] { Run([this] { BtnSetFFTClick(); }); });
  connect(BtnClipBorad, &QPushButton::clicked, this, [this] { Run([this] { BtnClipBoradClick(); }); });
  // The operator's choice only: a selection made by code does not redraw.
  connect(CmbMoveAve, &QComboBox::activated, this, [this](int) { Run([this] { CmbMoveAveChange(); }); });
  // A change made by code is announced too (start-up relies on it).
  connect(ChkYAuto, &QCheckBox::toggled, this, [this](bool) { Run([this] { ChkYAutoClick(); }); });
  for (QLineEdit* edit : {EditStartf, EditEndf, EditAve, EditYMin, EditYMax}) edit->installEventFilter(this);
  for (QPushButton* button : {BtnConnect, BtnIDN, BtnAxisReasd, BtnGetFFTData, BtnSetFFT, BtnClipBorad})
    button->installEventFilter(this);
  // Right button on the chart, or the Menu key while it has the focus.
  chartMenu_ = new ChartMenu(*this);
  Chart1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Chart1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { chartMenu_->Popup(Chart1->viewport()->mapToGlobal(pos)); });
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (auto* button = qobject_cast<QPushButton*>(watched)) {
    return event->type() == QEvent::KeyPress && PressOnEnter(button, static_cast<QKeyEvent*>(event));
  }
  if (event->type() == QEvent::InputMethod) {
    return FilterCommittedText(static_cast<QWidget*>(watched), static_cast<QInputMethodEvent*>(event));
  }
  if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  char key = 0;
  if (!TypedCharacter(static_cast<QKeyEvent*>(event), key)) return false;
  const char typed = key;
  Run([&] {
    if (watched == EditStartf) {
      EditStartfKeyPress(key);
    } else if (watched == EditEndf) {
      EditEndfKeyPress(key);
    } else if (watched == EditAve) {
      EditAveKeyPress(key);
    } else if (watched == EditYMin) {
      EditYMinKeyPress(key);
    } else if (watched == EditYMax) {
      EditYMaxKeyPress(key);
    }
  });
  // A handler that failed before it could swallow Enter leaves nothing to insert.
  if (typed == kEnterKey) return true;
  return key == 0;
}

void TForm1::FormCreate() {
  IniFile = std::make_unique<TIniFile>(kSettingsFileName);
  const InstrumentSettings stored = ReadInstrumentSettings(*IniFile);
  Addr = stored.Addr;
  channel_->SetAddress(Addr);
  Startf = stored.Startf;
  EditStartf->setText(QString::fromStdString(FloatToStr(Startf)));
  Endf = stored.Endf;
  EditEndf->setText(QString::fromStdString(FloatToStr(Endf)));
  FftScale = stored.FftScale;
  Ch1Scale = stored.Ch1Scale;
  FftOffset = stored.FftOffset;
  TDiv = stored.TDiv;
  Fs = stored.Fs;
  SetLoadedText(EditAve, stored.AveText);
  // A stored count that is not an integer is reported, but the other settings are
  // still applied, so that the exit save does not overwrite them with blanks.
  RunHandler([this] { StrToInt(TextOf(EditAve)); });
  ChkFreqList->setChecked(IniFile->ReadBool(kSectionInstrument, "FLIST", false));
  SetLoadedText(EditYMin, IniFile->ReadString(kSectionDisplay, "LVMIN", "0"));
  SetLoadedText(EditYMax, IniFile->ReadString(kSectionDisplay, "LVMAX", "100"));
  ChkYAuto->setChecked(IniFile->ReadBool(kSectionDisplay, "YAXIAUTO", true));
  Run([this] { ChkYAutoClick(); });
  LvInc = IniFile->ReadFloat(kSectionDisplay, "LVINC", 10.0);
  // An index outside the list leaves no item selected (and -1 is saved at exit).
  const int filterIndex = IniFile->ReadInteger(kSectionDisplay, "AVE", 0);
  CmbMoveAve->setCurrentIndex(filterIndex >= 0 && filterIndex < CmbMoveAve->count() ? filterIndex : -1);
  setWindowTitle(QString::fromUtf8(kCaptionPrefix) + QString::fromStdString(Addr));
  chartMenu_->ApplyStoredLogAxis(IniFile->ReadBool(kSectionDisplay, "LOGX", false));
  chartMenu_->ApplyStoredLogLevelAxis(IniFile->ReadBool(kSectionDisplay, "LOGY", false));
}

void TForm1::FormDestroy() {
  if (!IniFile) return;
  IniFile->WriteString(kSectionInstrument, "ADDR", Addr);
  IniFile->WriteFloat(kSectionInstrument, "OFFSET", FftOffset);
  IniFile->WriteFloat(kSectionInstrument, "SCALE", FftScale);
  IniFile->WriteFloat(kSectionInstrument, "START", Startf);
  IniFile->WriteFloat(kSectionInstrument, "END", Endf);
  IniFile->WriteString(kSectionInstrument, "TDIV", TDiv);
  IniFile->WriteString(kSectionInstrument, "CH1SCALE", Ch1Scale);
  IniFile->WriteString(kSectionInstrument, "AVE", TextOf(EditAve));
  IniFile->WriteBool(kSectionInstrument, "FLIST", ChkFreqList->isChecked());
  IniFile->WriteString(kSectionDisplay, "LVMIN", TextOf(EditYMin));
  IniFile->WriteString(kSectionDisplay, "LVMAX", TextOf(EditYMax));
  IniFile->WriteFloat(kSectionDisplay, "LVINC", LvInc);
  IniFile->WriteInteger(kSectionDisplay, "AVE", CmbMoveAve->currentIndex());
  IniFile->WriteBool(kSectionDisplay, "YAXIAUTO", ChkYAuto->isChecked());
  // Only once the operator has chosen an axis, so other files keep their fourteen keys.
  if (chartMenu_->LogAxisUsed()) IniFile->WriteBool(kSectionDisplay, "LOGX", Chart1->LogFrequencyAxis());
  if (chartMenu_->LogLevelAxisUsed()) IniFile->WriteBool(kSectionDisplay, "LOGY", Chart1->LogLevelAxis());
  IniFile.reset();
}

void TForm1::SetInstrumentBlocked(bool blocked) {
  for (QWidget* control : std::initializer_list<QWidget*>{BtnConnect, BtnIDN, BtnAxisReasd, BtnGetFFTData, BtnSetFFT,
                                                          EditStartf, EditEndf, EditAve}) {
    control->setEnabled(!blocked);
  }
}

void TForm1::Log(const std::string& line) { MemLog->appendPlainText(QString::fromStdString(line)); }

LogSink TForm1::MemLogSink() {
  return [this](const std::string& line) { Log(line); };
}

std::vector<std::string> TForm1::LogLines() const {
  std::vector<std::string> lines;
  const QString text = MemLog->toPlainText();
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(line.toStdString());
  return lines;
}

void TForm1::SyncChart() { Chart1->Render(chart_); }

// --- Instrument link ---

void TForm1::SendCommand(const std::string& command) { channel_->SendCommand(command); }

std::string TForm1::QueryInstrument(const std::string& command) { return channel_->QueryInstrument(command); }

void TForm1::BtnConnectClick() { Log(channel_->ConnectInstrument() == 1 ? "Connected" : "Fale Connec"); }

void TForm1::BtnIDNClick() { Log(QueryInstrument("*IDN?")); }

// --- Instrument set-up ---

void TForm1::ReadStatus() { qvx::ReadStatus(*channel_, *this, MemLogSink()); }

double TForm1::CalcRbw() { return qvx::CalcRbw(*channel_, *this, MemLogSink()); }

void TForm1::BtnAxisReasdClick() {
  ReadStatus();
  LogStatusLines(*this, MemLogSink());
}

void TForm1::BtnSetFFTClick() { RunFftSetup(*channel_, *this, TextOf(EditAve), MemLogSink()); }

void TForm1::EditStartfKeyPress(char& key) {
  OnEnter(key, [this] {
    FrequencyEnter(*channel_, kStartFrequencyCommand, TextOf(EditStartf), Startf, [this] { EditStartf->selectAll(); });
  });
}

void TForm1::EditEndfKeyPress(char& key) {
  OnEnter(key, [this] {
    FrequencyEnter(*channel_, kEndFrequencyCommand, TextOf(EditEndf), Endf, [this] { EditEndf->selectAll(); });
  });
}

void TForm1::EditAveKeyPress(char& key) {
  OnEnter(key, [this] { AverageEnter(*channel_, TextOf(EditAve), [this] { EditAve->selectAll(); }); });
}

// --- Spectrum ---

void TForm1::BtnGetFFTDataClick() { FetchTrace(); }

void TForm1::FetchTrace() {
  // The report follows the new buffer even when drawing it fails.
  qvx::FetchTrace(
      *channel_, *this, [this] { ReadStatus(); },
      [this] {
        chartMenu_->TraceArrived();
        PlotSpectrum();
      });
}

void TForm1::PlotSpectrum() {
  PlotInputs inputs;
  inputs.filterIndex = CmbMoveAve->currentIndex();
  inputs.filterText = CmbMoveAve->currentText().toStdString();
  inputs.aveText = TextOf(EditAve);
  inputs.yMinText = TextOf(EditYMin);
  inputs.yMaxText = TextOf(EditYMax);
  qvx::PlotSpectrum(*this, inputs, chart_);
}

void TForm1::CmbMoveAveChange() { PlotSpectrum(); }

void TForm1::ApplyYRange() { qvx::ApplyYRange(chart_.LeftAxis, TextOf(EditYMax), TextOf(EditYMin)); }

void TForm1::ChkYAutoClick() {
  ApplyYAxisMode(
      ChkYAuto->isChecked(), chart_.LeftAxis, [this](bool on) { EditYMin->setEnabled(on); },
      [this](bool on) { EditYMax->setEnabled(on); }, TextOf(EditYMax), TextOf(EditYMin));
}

void TForm1::EditYMinKeyPress(char& key) {
  OnEnter(key, [this] {
    EditYMin->selectAll();
    ApplyYRange();
  });
}

void TForm1::EditYMaxKeyPress(char& key) {
  OnEnter(key, [this] {
    EditYMax->selectAll();
    ApplyYRange();
  });
}

void TForm1::BtnClipBoradClick() {
  const std::string text = BuildClipboardText(SpecData, CmbMoveAve->currentIndex(), ChkFreqList->isChecked());
  const QString qtext = QString::fromStdString(text);
  Memo1->setPlainText(qtext);  // the hidden staging memo keeps the last export
  QGuiApplication::clipboard()->setText(qtext);
}

}  // namespace qvx
