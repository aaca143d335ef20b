#include "app/chart_menu.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QPoint>
#include <QRegularExpression>
#include <utility>

#include "app/application.h"
#include "app/tform1.h"
#include "spectrum/chart_view.h"

namespace qvx {
namespace {

// "SVG image (*.svg)" -> "svg".
QString SuffixOf(const QString& nameFilter) {
  static const QRegularExpression pattern(QStringLiteral("\\*\\.(\\w+)"));
  return pattern.match(nameFilter).captured(1);
}

// Qt's own dialog rather than the desktop's, so it behaves the same everywhere.
QString AskWithQtDialog(const SaveRequest& request) {
  QFileDialog dialog(QApplication::activeWindow(), request.caption);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters(request.nameFilters);
  dialog.setDefaultSuffix(SuffixOf(request.nameFilters.value(0)));
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                   [&dialog](const QString& filter) { dialog.setDefaultSuffix(SuffixOf(filter)); });
  const QFileInfo suggested(request.defaultPath);
  dialog.setDirectory(suggested.absolutePath());
  dialog.selectFile(suggested.fileName());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

SaveFileChooser& Chooser() {
  static SaveFileChooser chooser;
  return chooser;
}

QString AskWhereToSave(const SaveRequest& request) {
  return Chooser() ? Chooser()(request) : AskWithQtDialog(request);
}

}  // namespace

SaveFileChooser SetSaveFileChooser(SaveFileChooser chooser) { return std::exchange(Chooser(), std::move(chooser)); }

ChartMenu::ChartMenu(TForm1& form) : QObject(&form), form_(form) {
  menu_ = new QMenu(&form);
  // Each item runs like any handler: an error ends it in the application's error box.
  auto add = [this](const char* text, auto handler) {
    QAction* action = menu_->addAction(QString::fromUtf8(text));
    connect(action, &QAction::triggered, this, [this, handler](bool checked) {
      RunHandler([&] { (this->*handler)(checked); });
    });
    return action;
  };
  CopyImage = add("Copy Image", &ChartMenu::CopyImageClick);
  SaveImage = add("Save Image...", &ChartMenu::SaveImageClick);
  SaveData = add("Save Data...", &ChartMenu::SaveDataClick);
  LogFrequencyAxis = add("Logarithmic Frequency Axis", &ChartMenu::LogFrequencyAxisClick);
  LogFrequencyAxis->setCheckable(true);
  NoiseReport = add("Noise Report...", &ChartMenu::NoiseReportClick);
}

void ChartMenu::Popup(const QPoint& globalPos) { menu_->popup(globalPos); }

void ChartMenu::ApplyStoredLogAxis(bool on) {
  LogFrequencyAxis->setChecked(on);
  form_.Chart1->SetLogFrequencyAxis(on);
  form_.Chart1->Render(form_.Chart());
}

void ChartMenu::CopyImageClick(bool) { QApplication::clipboard()->setImage(form_.Chart1->grab().toImage()); }

void ChartMenu::SaveImageClick(bool) {}

void ChartMenu::SaveDataClick(bool) {}

void ChartMenu::LogFrequencyAxisClick(bool on) {
  logAxisUsed_ = true;
  form_.Chart1->SetLogFrequencyAxis(on);
  form_.Chart1->Render(form_.Chart());
}

void ChartMenu::NoiseReportClick(bool) {}

}  // namespace qvx
