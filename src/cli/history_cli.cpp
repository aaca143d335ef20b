#include "cli/history_cli.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "core/errors.h"
#include "core/text.h"
#include "plot/noise_plot.h"
#include "plot/run_images.h"
#include "plot/trend_chart.h"
#include "run/run_store.h"
#include "settings/store_settings.h"
#include "store/store.h"

namespace qvx {
namespace {

constexpr const char* kDbHelp =
    "the results store: a SQLite file, or postgresql://USER@HOST:PORT/NAME (default ./qvx71-results.sqlite)";

bool IsUrl(const std::string& location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

// A store call's failure as the program reports it: a bad filter is the user's, the rest the
// store's.
template <class F>
auto Guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const store::StoreError& e) {
    throw RunError(e.kind() == store::StoreError::Kind::invalid ? ErrorKind::kUsage : ErrorKind::kStore, e.what());
  }
}

// An existing store: reading a history must not leave an empty store file behind a typo.
std::unique_ptr<store::Store> OpenExisting(const std::string& location) {
  std::error_code ec;
  if (!IsUrl(location) && !std::filesystem::exists(location, ec)) {
    throw RunError(ErrorKind::kUsage, "there is no results store " + location +
                                          " (measure, capture and analyze keep their runs in ./" + kDefaultStoreFile +
                                          " or where --db says; give --db)");
  }
  return Guarded([&] { return store::OpenStore(location); });
}

std::int64_t RunId(const std::string& text) {
  std::int64_t id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size() || id <= 0) {
    throw RunError(ErrorKind::kUsage, "'" + text + "' is not a run's id (a whole number, as history list shows)");
  }
  return id;
}

store::RunRecord GetRun(store::Store& s, const std::string& idText) {
  const std::int64_t id = RunId(idText);
  auto run = Guarded([&] { return s.Get(id); });
  if (!run) throw RunError(ErrorKind::kUsage, "there is no run " + idText + " in " + s.Name());
  return std::move(*run);
}

// "2024-05-01T14:03:07.250+02:00" -> "2024-05-01 14:03:07", as it was on the bench.
std::string ShownTime(const std::string& time) {
  std::string t = time.substr(0, std::min<std::size_t>(19, time.size()));
  if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
  return t;
}

std::string Labels(const std::string& label, const std::string& dut, const std::string& serial) {
  std::string out;
  for (const auto& [name, value] : {std::pair{"label", &label}, std::pair{"dut", &dut}, std::pair{"serial", &serial}}) {
    if (!value->empty()) out += (out.empty() ? "" : " ") + std::string(name) + "=" + *value;
  }
  return out.empty() ? "-" : out;
}

std::string Verdict(const store::RunRow& r) {
  std::string out = !r.pass ? "-" : *r.pass ? "PASS" : "FAIL";
  if (r.status != "done")
    out += " (" + r.status + ")";
  else if (r.partial)
    out += " (partial)";
  return out;
}

// Width on a terminal: UTF-8 continuation bytes take no column.
std::size_t Columns(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

void PrintTable(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Columns(row[c]));
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - Columns(row[c]) + 2, ' ');
    }
    out << line << "\n";
  }
}

nlohmann::json Optional(const std::optional<double>& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); }

// The formats of --format, or none given.
std::optional<RunFormats> FormatsOf(const std::string& text, bool images_only) {
  if (text.empty()) return std::nullopt;
  RunFormats f;
  std::stringstream list(text);
  for (std::string item; std::getline(list, item, ',');) {
    if (item == "png")
      f.png = true;
    else if (item == "svg")
      f.svg = true;
    else if (item == "csv" && !images_only)
      f.csv = true;
    else if (item == "json" && !images_only)
      f.json = true;
    else if (item == "npy" && !images_only)
      f.npy = true;
    else
      throw RunError(ErrorKind::kUsage, "--format knows " +
                                            std::string(images_only ? "png and svg" : "csv, json, png and svg") +
                                            ", not '" + item + "'");
  }
  return f;
}

// An image's paths: FILE.png or FILE.svg as named, else the prefix with each format.
std::vector<std::string> ImagePaths(const std::string& out, const std::string& formats) {
  std::string lower = out;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if ((lower.ends_with(".png") || lower.ends_with(".svg")) && formats.empty()) return {out};
  const RunFormats f = FormatsOf(formats, true).value_or(RunFormats{false, false, true, false, false});
  CheckOutputPrefix(out);
  std::vector<std::string> paths;
  if (f.png) paths.push_back(out + ".png");
  if (f.svg) paths.push_back(out + ".svg");
  return paths;
}

struct Figure {
  std::string title;
  std::string unit;
};

Figure FigureOf(const std::string& name) {
  if (name == "white") return {"White floor", "nV/\u221AHz"};
  if (name == "corner") return {"1/f corner", "Hz"};
  if (name == "lf") return {"0.1-10 Hz noise", "nV rms"};
  if (name.starts_with("band:")) return {"Band " + name.substr(5) + " Hz", "\u00B5V rms"};
  if (name.starts_with("spot:")) return {"Spot noise at " + name.substr(5) + " Hz", "nV/\u221AHz"};
  throw RunError(ErrorKind::kUsage, "'" + name + "' is not a figure: white, corner, lf, band:LO:HI or spot:HZ");
}

}  // namespace

void AddStoreOptions(CLI::App* cmd, StoreOptions& o) {
  cmd->add_option("--db", o.db, kDbHelp);
  cmd->add_flag("--no-store", o.no_store, "keep nothing in the results store");
  cmd->add_option("--label", o.label, "a label the run is kept under (a design, a revision, a batch)");
  cmd->add_option("--dut", o.dut, "the device under test, as history list --dut finds it");
  cmd->add_option("--serial", o.serial, "the part's serial number, as history list --serial finds it");
  cmd->add_option("--operator", o.operator_name, "who measured");
  cmd->add_option("--note", o.note, "a free note kept with the run");
}

void ApplyStoreOptions(const StoreOptions& o, RunRequest& r) {
  if (o.no_store && !o.db.empty()) throw RunError(ErrorKind::kUsage, "give --db or --no-store, not both");
  r.store.enabled = !o.no_store;
  r.store.location = o.db.empty() ? std::string(kDefaultStoreFile) : o.db;
  r.store.label = o.label;
  r.store.dut = o.dut;
  r.store.serial = o.serial;
  r.store.operator_name = o.operator_name;
  r.store.note = o.note;
}

bool ReportStoredRun(const RunResult& result, bool quiet, std::ostream& err, const char* program) {
  if (result.store_error) {
    err << program << ": " << result.store_error->what() << "; the run is not kept there (its summary and files are)\n";
    return true;
  }
  if (result.stored_id && !quiet && result.finished) {
    err << program << ": stored as run " << *result.stored_id << (result.finished->spectrum.partial ? " (partial)" : "")
        << "\n";
  }
  return false;
}

struct HistoryCommand::Options {
  CLI::App* history = nullptr;
  CLI::App *list = nullptr, *show = nullptr, *exportCmd = nullptr, *plot = nullptr, *trend = nullptr, *remove = nullptr;
  std::string db = kDefaultStoreFile;
  std::string label, dut, serial, since;
  bool failed = false, json = false;
  std::vector<std::string> ids;
  std::string out, formats, figure;
};

HistoryCommand::HistoryCommand(CLI::App& app) : o_(std::make_unique<Options>()) {
  Options& o = *o_;
  o.history =
      app.add_subcommand("history", "the runs kept in the results store: list, show, export, plot, trend, delete");
  o.history->require_subcommand(1);
  auto db = [&](CLI::App* cmd) { cmd->add_option("--db", o.db, kDbHelp); };
  auto filters = [&](CLI::App* cmd) {
    cmd->add_option("--label", o.label, "only runs with this label");
    cmd->add_option("--dut", o.dut, "only runs of this DUT");
    cmd->add_option("--serial", o.serial, "only runs of this serial number");
    cmd->add_option("--since", o.since, "only runs from DATE (2024-05-01, or 2024-05-01T14:00) on, local time");
  };
  o.list =
      o.history->add_subcommand("list", "one line a run, newest first: id, time, method, labels, figures, verdict");
  filters(o.list);
  o.list->add_flag("--failed", o.failed, "only runs that failed their limit");
  o.list->add_flag("--json", o.json, "a JSON array instead of the table");
  db(o.list);

  o.show = o.history->add_subcommand("show", "print a run's summary exactly as the run printed it");
  o.show->add_option("ID", o.ids, "the run")->required()->expected(1);
  db(o.show);

  o.exportCmd =
      o.history->add_subcommand("export", "write a run's files again: CSV and JSON as written, images redrawn");
  o.exportCmd->add_option("ID", o.ids, "the run")->required()->expected(1);
  o.exportCmd->add_option("--out", o.out, "write PREFIX.csv, PREFIX.json, PREFIX.png, PREFIX.svg")->required();
  o.exportCmd->add_option("--format", o.formats,
                          "any of csv,json,png,svg (default: the files the run wrote, else csv,json)");
  db(o.exportCmd);

  o.plot = o.history->add_subcommand("plot", "draw several stored runs in one log-log figure");
  o.plot->add_option("ID", o.ids, "the runs")->required()->expected(1, -1);
  o.plot->add_option("--out", o.out, "FILE.png or FILE.svg, or a PREFIX for --format")->required();
  o.plot->add_option("--format", o.formats, "png, svg or both with a PREFIX (default png)");
  db(o.plot);

  o.trend = o.history->add_subcommand(
      "trend", "one figure across runs, oldest first, with its interval: white, corner, lf, band:LO:HI or spot:HZ");
  o.trend->add_option("FIGURE", o.figure, "white, corner, lf, band:LO:HI or spot:HZ")->required();
  filters(o.trend);
  o.trend->add_option("--out", o.out, "also draw it into FILE.png or FILE.svg");
  db(o.trend);

  o.remove = o.history->add_subcommand("delete", "remove a run from the store (asks nothing) and say what was removed");
  o.remove->add_option("ID", o.ids, "the run")->required()->expected(1);
  db(o.remove);
}

HistoryCommand::~HistoryCommand() = default;

bool HistoryCommand::Parsed() const { return o_->history->parsed(); }

int HistoryCommand::Run(std::ostream& out, std::ostream& err) {
  Options& o = *o_;
  if (o.db.empty()) throw RunError(ErrorKind::kUsage, "--db wants a file or a postgresql:// URL");
  store::RunFilter filter;
  if (!o.label.empty()) filter.label = o.label;
  if (!o.dut.empty()) filter.dut = o.dut;
  if (!o.serial.empty()) filter.serial = o.serial;
  if (!o.since.empty()) filter.since = o.since;
  filter.failed_only = o.failed;

  if (o.trend->parsed()) {
    const Figure figure = FigureOf(o.figure);
    const std::vector<std::string> images = o.out.empty() ? std::vector<std::string>{} : ImagePaths(o.out, "");
    const auto s = OpenExisting(o.db);
    const auto rows = Guarded([&] { return s->Trend(o.figure, filter); });
    if (rows.empty())
      err << "no stored run has the figure " << o.figure
          << (filter.label || filter.dut || filter.serial || filter.since ? " among those asked for" : "") << "\n";
    std::vector<std::vector<std::string>> table{{"ID", "TIME", "LABEL", o.figure + " (" + figure.unit + ")", "95 %"}};
    std::vector<TrendPoint> points;
    for (const store::TrendRow& r : rows) {
      const bool interval = r.lo && r.hi;
      table.push_back({std::to_string(r.id), ShownTime(r.time), r.label.empty() ? "-" : r.label,
                       FormatSignificant(r.value, 4),
                       interval ? FormatSignificant(*r.lo, 4) + " ... " + FormatSignificant(*r.hi, 4) : "-"});
      points.push_back({"#" + std::to_string(r.id), r.value, interval ? *r.lo : 0.0, interval ? *r.hi : 0.0});
    }
    if (!rows.empty()) PrintTable(table, out);
    for (const std::string& path : images) {
      const std::string problem = SaveTrendImage(
          points, figure.title + " across " + Counted(static_cast<long long>(rows.size()), "run"), figure.unit, path);
      if (!problem.empty()) throw RunError(ErrorKind::kUsage, problem);
      out << path << "\n";
    }
    return 0;
  }

  if (o.list->parsed()) {
    const auto s = OpenExisting(o.db);
    const auto rows = Guarded([&] { return s->List(filter); });
    if (o.json) {
      nlohmann::ordered_json list = nlohmann::ordered_json::array();
      for (const store::RunRow& r : rows) {
        list.push_back({{"id", r.id},
                        {"uid", r.uid},
                        {"time", r.time},
                        {"command", r.command},
                        {"method", r.method},
                        {"status", r.status},
                        {"partial", r.partial},
                        {"label", r.label},
                        {"dut", r.dut},
                        {"serial", r.serial},
                        {"white_nv", Optional(r.white_nv)},
                        {"corner_hz", Optional(r.corner_hz)},
                        {"corner_resolved", r.corner_resolved},
                        {"lf_rms_nv", Optional(r.lf_rms_nv)},
                        {"pass", r.pass ? nlohmann::ordered_json(*r.pass) : nlohmann::ordered_json(nullptr)},
                        {"worst_margin_db", Optional(r.worst_margin_db)}});
      }
      out << list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
      return 0;
    }
    std::vector<std::vector<std::string>> table{
        {"ID", "TIME", "COMMAND", "METHOD", "LABELS", "WHITE", "CORNER", "0.1-10 Hz", "LIMIT"}};
    for (const store::RunRow& r : rows) {
      table.push_back({std::to_string(r.id), ShownTime(r.time), r.command, r.method, Labels(r.label, r.dut, r.serial),
                       r.white_nv ? FormatSignificant(*r.white_nv, 4) + " nV/\u221AHz" : "-",
                       r.corner_hz && r.corner_resolved ? FormatHz(*r.corner_hz) : "-",
                       r.lf_rms_nv ? FormatVolts(*r.lf_rms_nv * 1e-9) + " rms" : "-", Verdict(r)});
    }
    if (rows.empty()) {
      err << "no runs in " << s->Name()
          << (filter.label || filter.dut || filter.serial || filter.since || filter.failed_only ? " match" : "")
          << "\n";
      return 0;
    }
    PrintTable(table, out);
    return 0;
  }

  if (o.show->parsed()) {
    const auto s = OpenExisting(o.db);
    const store::RunRecord run = GetRun(*s, o.ids.front());
    const auto summary = StoredDocument(run, store::kSummaryDocument);
    if (!summary) throw RunError(ErrorKind::kData, "run " + o.ids.front() + " has no summary in " + s->Name());
    out << *summary << std::flush;
    return 0;
  }

  if (o.exportCmd->parsed()) {
    CheckOutputPrefix(o.out);
    const auto formats = FormatsOf(o.formats, false);
    const auto s = OpenExisting(o.db);
    const store::RunRecord run = GetRun(*s, o.ids.front());
    const ChartRunImages images;
    const WrittenFiles files = ExportStoredRun(run, o.out, formats.value_or(StoredFormats(run)), &images);
    if (!files.problem.empty()) throw RunError(ErrorKind::kUsage, files.problem);
    for (const std::string& path : files.paths) out << path << "\n";
    return 0;
  }

  if (o.plot->parsed()) {
    const std::vector<std::string> paths = ImagePaths(o.out, o.formats);
    const auto s = OpenExisting(o.db);
    std::vector<OverlayRun> runs;
    for (const std::string& id : o.ids) {
      const store::RunRecord run = GetRun(*s, id);
      OverlayRun overlay;
      overlay.label = "#" + id;
      for (const std::string* text : {&run.label, &run.dut, &run.serial}) {
        if (!text->empty()) overlay.label += " " + *text;
      }
      overlay.label += " " + ShownTime(run.time).substr(0, 16);
      for (const store::LogPointRow& p : run.log_points) {
        overlay.hz.push_back(p.hz);
        overlay.nv.push_back(p.nv);
        overlay.lo_nv.push_back(p.ci_lo_nv.value_or(0.0));
        overlay.hi_nv.push_back(p.ci_hi_nv.value_or(0.0));
      }
      runs.push_back(std::move(overlay));
    }
    const std::string caption = Counted(static_cast<long long>(runs.size()), "stored run") + " from " + s->Name();
    for (const std::string& path : paths) {
      const std::string problem = SaveOverlayImage(runs, {}, caption, path);
      if (!problem.empty()) throw RunError(ErrorKind::kUsage, problem);
      out << path << "\n";
    }
    return 0;
  }

  // delete
  const auto s = OpenExisting(o.db);
  const std::int64_t id = RunId(o.ids.front());
  const auto removed = Guarded([&] { return s->Delete(id); });
  if (!removed) throw RunError(ErrorKind::kUsage, "there is no run " + o.ids.front() + " in " + s->Name());
  out << "deleted run " << removed->id << ": " << ShownTime(removed->time) << ", " << removed->command << ", "
      << removed->method << ", " << Labels(removed->label, removed->dut, removed->serial) << "\n";
  return 0;
}

}  // namespace qvx
