#include "app/history_panel.h"

#include <QChart>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cctype>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/application.h"
#include "app/chart_menu.h"
#include "core/errors.h"
#include "core/text.h"
#include "plot/noise_plot.h"
#include "plot/run_images.h"
#include "run/run_store.h"
#include "store/store.h"

namespace qvx {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

bool IsUrl(const std::string& location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

// The store, or nothing when its file is not there yet (nothing was stored).
std::unique_ptr<store::Store> OpenIfThere(const std::string& location) {
  std::error_code ec;
  if (!IsUrl(location) && !std::filesystem::exists(location, ec)) return nullptr;
  return store::OpenStore(location);
}

std::string ShownTime(const std::string& time) {
  std::string t = time.substr(0, std::min<std::size_t>(19, time.size()));
  if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
  return t;
}

constexpr int kColumns = 9;
const char* const kHeaders[kColumns] = {"ID",     "Time", "Method", "Label", "DUT", "Serial", "White nV/\u221AHz",
                                        "Corner", "Limit"};

}  // namespace

HistoryPanel::HistoryPanel(QWidget* parent) : QWidget(parent) {
  auto makeButton = [this](const char* text) {
    auto* b = new QPushButton(QString::fromUtf8(text), this);
    b->setAutoDefault(false);
    return b;
  };
  Label = new QLineEdit(this);
  Dut = new QLineEdit(this);
  Serial = new QLineEdit(this);
  Label->setPlaceholderText(QStringLiteral("label"));
  Dut->setPlaceholderText(QStringLiteral("DUT"));
  Serial->setPlaceholderText(QStringLiteral("serial"));
  BtnRefresh = makeButton("Refresh");
  auto* filters = new QHBoxLayout;
  for (QLineEdit* e : {Label, Dut, Serial}) filters->addWidget(e);
  filters->addWidget(BtnRefresh);

  Runs = new QTableWidget(0, kColumns, this);
  QStringList headers;
  for (const char* h : kHeaders) headers << QString::fromUtf8(h);
  Runs->setHorizontalHeaderLabels(headers);
  Runs->setSelectionBehavior(QAbstractItemView::SelectRows);
  Runs->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Runs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Runs->verticalHeader()->hide();
  Runs->horizontalHeader()->setStretchLastSection(true);

  BtnOverlay = makeButton("Overlay");
  BtnOverlay->setToolTip(QStringLiteral("Draw the selected runs over each other on the plot"));
  BtnReport = makeButton("Report");
  BtnReport->setToolTip(QStringLiteral("Show the selected run's report"));
  BtnExport = makeButton("Export...");
  BtnExport->setToolTip(QStringLiteral("Write the selected run's files again"));
  Status = new QLabel(this);
  Status->setWordWrap(true);
  Status->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {BtnOverlay, BtnReport, BtnExport}) buttons->addWidget(b);
  buttons->addWidget(Status, 1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addLayout(filters);
  layout->addWidget(Runs, 1);
  layout->addLayout(buttons);

  connect(BtnRefresh, &QPushButton::clicked, this, [this] { RunHandler([this] { Refresh(); }); });
  for (QLineEdit* e : {Label, Dut, Serial})
    connect(e, &QLineEdit::returnPressed, this, [this] { RunHandler([this] { Refresh(); }); });
  connect(BtnOverlay, &QPushButton::clicked, this, [this] { RunHandler([this] { OverlayClick(); }); });
  connect(BtnReport, &QPushButton::clicked, this, [this] { RunHandler([this] { ReportClick(); }); });
  connect(BtnExport, &QPushButton::clicked, this, [this] { RunHandler([this] { ExportClick(); }); });
  connect(Runs, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
  UpdateButtons();
}

void HistoryPanel::SetLocation(const std::string& location) {
  location_ = location;
  Refresh();
}

void HistoryPanel::Refresh() {
  store::RunFilter filter;
  auto text = [](QLineEdit* e) { return e->text().trimmed().toStdString(); };
  if (!text(Label).empty()) filter.label = text(Label);
  if (!text(Dut).empty()) filter.dut = text(Dut);
  if (!text(Serial).empty()) filter.serial = text(Serial);
  std::vector<store::RunRow> rows;
  try {
    const auto s = OpenIfThere(location_);
    if (s) rows = s->List(filter);
    SetStatus(!s ? "no runs stored yet in " + store::DisplayLocation(location_)
                 : Counted(static_cast<long long>(rows.size()), "run") + " in " + s->Name(),
              false);
  } catch (const store::StoreError& e) {
    SetStatus(e.what(), true);
  }
  Runs->setRowCount(0);
  Runs->setRowCount(static_cast<int>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const store::RunRow& r = rows[i];
    std::string verdict = !r.pass ? "-" : *r.pass ? "PASS" : "FAIL";
    if (r.status != "done") verdict += " (" + r.status + ")";
    const std::string cells[kColumns] = {std::to_string(r.id),
                                         ShownTime(r.time),
                                         r.method,
                                         r.label,
                                         r.dut,
                                         r.serial,
                                         r.white_nv ? FormatSignificant(*r.white_nv, 4) : "-",
                                         r.corner_hz && r.corner_resolved ? FormatHz(*r.corner_hz) : "-",
                                         verdict};
    for (int c = 0; c < kColumns; ++c) {
      auto* item = new QTableWidgetItem(Q(cells[c]));
      if (c == 0) item->setData(Qt::UserRole, QVariant::fromValue<qlonglong>(r.id));
      Runs->setItem(static_cast<int>(i), c, item);
    }
  }
  Runs->resizeColumnsToContents();
  UpdateButtons();
}

std::vector<std::int64_t> HistoryPanel::SelectedIds() const {
  std::vector<std::int64_t> ids;
  for (int row = 0; row < Runs->rowCount(); ++row) {
    QTableWidgetItem* item = Runs->item(row, 0);
    if (item && item->isSelected()) ids.push_back(item->data(Qt::UserRole).toLongLong());
  }
  return ids;
}

void HistoryPanel::OverlayClick() {
  const auto ids = SelectedIds();
  if (ids.empty()) return;
  try {
    const auto s = store::OpenStore(location_);
    std::vector<OverlayRun> runs;
    for (std::int64_t id : ids) {
      const auto run = s->Get(id);
      if (!run) continue;
      OverlayRun overlay;
      overlay.label = "#" + std::to_string(id);
      for (const std::string* t : {&run->label, &run->dut, &run->serial}) {
        if (!t->empty()) overlay.label += " " + *t;
      }
      for (const store::LogPointRow& p : run->log_points) {
        overlay.hz.push_back(p.hz);
        overlay.nv.push_back(p.nv);
        overlay.lo_nv.push_back(p.ci_lo_nv.value_or(0.0));
        overlay.hi_nv.push_back(p.ci_hi_nv.value_or(0.0));
      }
      runs.push_back(std::move(overlay));
    }
    if (ShowChart)
      ShowChart(BuildOverlayChart(runs, {}, Q(Counted(static_cast<long long>(runs.size()), "stored run"))));
    SetStatus("drawn: " + Counted(static_cast<long long>(runs.size()), "run"), false);
  } catch (const store::StoreError& e) {
    SetStatus(e.what(), true);
  }
}

void HistoryPanel::ReportClick() {
  const auto ids = SelectedIds();
  if (ids.empty()) return;
  try {
    const auto s = store::OpenStore(location_);
    const auto run = s->Get(ids.front());
    if (!run) {
      SetStatus("run " + std::to_string(ids.front()) + " is no longer in the store", true);
      return;
    }
    const auto summary = StoredDocument(*run, store::kSummaryDocument);
    if (ShowReport) ShowReport(summary.value_or(""));
    SetStatus(summary ? "report of run " + std::to_string(ids.front())
                      : "run " + std::to_string(ids.front()) + " has no report",
              !summary);
    // Its own picture beside it.
    if (ShowChart) {
      const FinishedRun restored = RestoreRun(*run);
      ShowChart(BuildNoiseChart(restored.spectrum, restored.report));
    }
  } catch (const store::StoreError& e) {
    SetStatus(e.what(), true);
  } catch (const RunError& e) {
    SetStatus(e.what(), true);
  }
}

std::string HistoryPanel::ExportRun(std::int64_t id, const std::string& path) {
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  RunFormats f;
  if (ext == "json")
    f = {true, true, true, true, false};
  else if (ext == "csv")
    f.csv = true;
  else if (ext == "png")
    f.png = true;
  else if (ext == "svg")
    f.svg = true;
  else
    return "the name's extension chooses what is written: .json (the JSON, CSV, PNG and SVG), .csv, .png or .svg";
  try {
    const auto s = store::OpenStore(location_);
    const auto run = s->Get(id);
    if (!run) return "run " + std::to_string(id) + " is no longer in the store";
    const ChartRunImages images;
    return ExportStoredRun(*run, path.substr(0, dot), f, &images).problem;
  } catch (const store::StoreError& e) {
    return e.what();
  } catch (const RunError& e) {
    return e.what();
  }
}

void HistoryPanel::ExportClick() {
  const auto ids = SelectedIds();
  if (ids.empty()) return;
  const QString path =
      AskWhereToSave({QStringLiteral("Export run %1").arg(ids.front()),
                      QDir::current().filePath(QStringLiteral("run-%1.json").arg(ids.front())),
                      {QStringLiteral("The run: JSON, CSV, PNG and SVG (*.json)"), QStringLiteral("CSV file (*.csv)"),
                       QStringLiteral("PNG image (*.png)"), QStringLiteral("SVG image (*.svg)")}});
  if (path.isEmpty()) return;
  const std::string problem = ExportRun(ids.front(), path.toStdString());
  SetStatus(problem.empty() ? "exported run " + std::to_string(ids.front()) + " to " + path.toStdString() : problem,
            !problem.empty());
}

void HistoryPanel::SetStatus(const std::string& text, bool error) {
  Status->setText(Q(text));
  Status->setStyleSheet(error ? QStringLiteral("color: #b00000;") : QString());
}

void HistoryPanel::UpdateButtons() {
  const std::size_t n = SelectedIds().size();
  BtnOverlay->setEnabled(n >= 1);
  BtnReport->setEnabled(n == 1);
  BtnExport->setEnabled(n == 1);
}

}  // namespace qvx
