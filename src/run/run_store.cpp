#include "run/run_store.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>

#include "analysis/noise_files.h"
#include "core/errors.h"
#include "core/files.h"
#include "core/text.h"

#ifndef QVX_VERSION
#define QVX_VERSION ""
#endif

namespace qvx {
namespace {

using Json = nlohmann::ordered_json;

std::optional<double> Known(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

Json NumberOrNull(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

// Text the store takes: UTF-8 without NUL. An instrument's or a user's stray bytes become
// U+FFFD rather than cost the run its place in the store.
std::string ValidText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = c < 0x80                 ? 1
                    : c >= 0xc2 && c <= 0xdf ? 2
                    : c >= 0xe0 && c <= 0xef ? 3
                    : c >= 0xf0 && c <= 0xf4 ? 4
                                             : 0;
    bool ok = c != 0 && n > 0 && i + n <= text.size();
    std::uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1fu : n == 3 ? c & 0x0fu : c & 0x07u;
    for (std::size_t k = 1; ok && k < n; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      ok = (d & 0xc0) == 0x80;
      cp = (cp << 6) | (d & 0x3fu);
    }
    if (ok &&
        ((n == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) || (n == 4 && (cp < 0x10000 || cp > 0x10ffff))))
      ok = false;
    if (ok) {
      out.append(text, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

const char* CommandOf(RunMethod method) {
  switch (method) {
    case RunMethod::kFile:
      return "analyze";
    case RunMethod::kRecord:
    case RunMethod::kCross:
      return "capture";
    default:
      return "measure";
  }
}

const char* MethodName(RunMethod method) {
  switch (method) {
    case RunMethod::kFft:
      return "fft";
    case RunMethod::kSweep:
      return "sweep";
    case RunMethod::kRecord:
      return "record";
    case RunMethod::kCross:
      return "cross";
    case RunMethod::kFile:
      return "file";
  }
  return "";
}

const char* StatusName(RunStatus status) {
  switch (status) {
    case RunStatus::kDone:
      return "done";
    case RunStatus::kCancelled:
      return "cancelled";
    case RunStatus::kFailed:
      return "failed";
  }
  return "";
}

std::string FlagLetters(unsigned flags) {
  std::string out;
  if (flags & kFlagRepeatedBin) out += 'R';
  if (flags & kFlagClipped) out += 'C';
  if (flags & kFlagCoarseRbw) out += 'W';
  if (flags & kFlagQuantisation) out += 'Q';
  if (flags & kFlagFloor) out += 'F';
  if (flags & kFlagGainOutside) out += 'G';
  if (flags & kFlagUpperLimit) out += 'U';
  return out;
}

// "csv", "json", "png", "svg", "npy"; "lf-csv" and "lf-png" for the 0.1-10 Hz window's.
std::string FileKind(const std::string& path) {
  for (const char* lf : {"-lf.csv", "-lf.png"}) {
    if (path.ends_with(lf)) return std::string("lf-") + (lf + 4);
  }
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot + 1);
}

Json PairsJson(const std::vector<std::pair<double, double>>& pairs) {
  Json out = Json::array();
  for (const auto& [a, b] : pairs) out.push_back({a, b});
  return out;
}

std::string PlotDocument(const FinishedRun& run) {
  Json j;
  j["end_hz"] = NumberOrNull(run.spectrum.end_hz);
  j["floor"] = PairsJson(run.report.floor);
  j["limit_mask"] = run.report.limit ? PairsJson(run.report.limit->mask) : Json(nullptr);
  if (run.spectrum.lf && !run.spectrum.lf->first_window_v.empty()) {
    j["lf_window"] = {{"rate_hz", run.spectrum.lf->rate_hz}, {"volts", run.spectrum.lf->first_window_v}};
  } else {
    j["lf_window"] = nullptr;
  }
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// ---- reading a stored run back ----

using ReadJson = nlohmann::json;

double Number(const ReadJson& j, const char* key) {
  if (!j.is_object() || !j.contains(key) || !j[key].is_number()) return kNotKnown;
  return j[key].get<double>();
}
int Whole(const ReadJson& j, const char* key) {
  const double v = Number(j, key);
  return std::isfinite(v) ? static_cast<int>(v) : 0;
}
std::string Text(const ReadJson& j, const char* key) {
  if (!j.is_object() || !j.contains(key) || !j[key].is_string()) return {};
  return j[key].get<std::string>();
}
bool Flag(const ReadJson& j, const char* key) {
  return j.is_object() && j.contains(key) && j[key].is_boolean() && j[key].get<bool>();
}
const ReadJson& Member(const ReadJson& j, const char* key) {
  static const ReadJson none;
  return j.is_object() && j.contains(key) ? j[key] : none;
}
double At(const ReadJson& j, std::size_t i) {
  return j.is_array() && i < j.size() && j[i].is_number() ? j[i].get<double>() : kNotKnown;
}
std::vector<std::pair<double, double>> Pairs(const ReadJson& j) {
  std::vector<std::pair<double, double>> out;
  if (!j.is_array()) return out;
  for (const auto& p : j) out.emplace_back(At(p, 0), At(p, 1));
  return out;
}

ReadJson ParseDocument(const store::RunRecord& run, const char* name, bool required) {
  const auto text = StoredDocument(run, name);
  if (!text) {
    if (!required) return ReadJson();
    throw RunError(ErrorKind::kData, "run " + std::to_string(run.id) + " has no " + name + " document in the store");
  }
  try {
    return ReadJson::parse(*text);
  } catch (const ReadJson::exception&) {
    throw RunError(ErrorKind::kData, "run " + std::to_string(run.id) + ": its stored " + name + " is not JSON");
  }
}

}  // namespace

std::string RequestJson(const RunRequest& r) {
  Json j;
  j["command"] = r.store.command.empty() ? CommandOf(r.method) : r.store.command;
  j["method"] = MethodName(r.method);
  j["addr"] = r.addr;
  if (r.method == RunMethod::kSweep || r.method == RunMethod::kRecord || r.method == RunMethod::kCross) {
    j["from_hz"] = r.from_hz;
    j["to_hz"] = r.to_hz;
  }
  j["ppd"] = r.ppd;
  if (r.method == RunMethod::kFft || r.method == RunMethod::kSweep) {
    Json fft;
    fft["set_up"] = r.fft.set_up || r.method == RunMethod::kSweep;
    fft["span_hz"] = r.fft.span ? Json{r.fft.span->first, r.fft.span->second} : Json(nullptr);
    fft["averages"] = r.fft.averages;
    fft["window"] = r.fft.window;
    fft["time_scale"] = r.fft.time_scale;
    fft["ch1_scale"] = r.fft.ch1_scale;
    fft["tdiv"] = r.fft.tdiv_text;
    j["fft"] = std::move(fft);
  }
  if (r.method == RunMethod::kRecord) {
    j["seconds"] = r.seconds ? Json(*r.seconds) : Json(nullptr);
    j["averaging"] = AveragingName(r.averaging);
  }
  if (r.method == RunMethod::kCross) {
    j["seconds"] = r.seconds ? Json(*r.seconds) : Json(nullptr);
    j["cross"] = {{"records", r.cross.records ? Json(*r.cross.records) : Json(nullptr)},
                  {"until_resolved", r.cross.until_resolved},
                  {"gain2", r.cross.gain2 ? Json(*r.cross.gain2) : Json(nullptr)}};
  }
  if (r.method == RunMethod::kFile) {
    Json file;
    file["path"] = r.file.path;
    file["span_hz"] = r.file.span ? Json{r.file.span->first, r.file.span->second} : Json(nullptr);
    file["fs_hz"] = r.file.fs_hz ? Json(*r.file.fs_hz) : Json(nullptr);
    file["averaging"] = r.file.averaging ? Json(AveragingName(*r.file.averaging)) : Json(nullptr);
    file["window"] = r.file.window ? Json(r.file.window->name) : Json(nullptr);
    j["file"] = std::move(file);
  }
  j["max_seconds"] = r.max_seconds ? Json(*r.max_seconds) : Json(nullptr);
  j["gain"] =
      r.corrections.gain.given && r.corrections.gain_file.empty() ? Json(r.corrections.gain.ratio) : Json(nullptr);
  j["gain_file"] = r.corrections.gain_file;
  j["floor_file"] = r.corrections.floor_file;
  j["floor_any"] = r.floor_any;
  j["limit_file"] = r.corrections.limit_file;
  Json bands = Json::array();
  for (const Band& b : r.analysis.bands) bands.push_back({b.lo_hz, b.hi_hz});
  j["bands"] = std::move(bands);
  j["spots_hz"] = r.analysis.spots_hz;
  j["out"] = r.out_prefix;
  Json formats = Json::array();
  for (const auto& [on, name] :
       {std::pair{r.formats.csv, "csv"}, std::pair{r.formats.json, "json"}, std::pair{r.formats.png, "png"},
        std::pair{r.formats.svg, "svg"}, std::pair{r.formats.npy, "npy"}}) {
    if (on && !r.out_prefix.empty()) formats.push_back(name);
  }
  j["formats"] = std::move(formats);
  j["json_file"] = r.json_path;
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string StoreTimeNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[40] = {};
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff / 60;
  char tail[32] = {};
  std::snprintf(tail, sizeof tail, ".%03d%c%02ld:%02ld", static_cast<int>(millis < 0 ? millis + 1000 : millis),
                offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
  return std::string(text) + tail;
}

store::RunRecord RunRecordOf(const RunRequest& r, const RunResult& result) {
  const FinishedRun& run = result.finished.value();
  const NoiseSpectrum& s = run.spectrum;
  const NoiseReport& rep = run.report;
  store::RunRecord rec;
  rec.time = StoreTimeNow();
  rec.command = ValidText(r.store.command.empty() ? CommandOf(r.method) : r.store.command);
  rec.method = MethodName(s.method);
  rec.status = StatusName(result.status);
  rec.partial = s.partial;
  rec.partial_reason = ValidText(s.partial_reason);
  rec.idn = ValidText(s.idn);
  rec.addr = ValidText(s.addr);
  rec.settings_json = RequestJson(r);
  rec.label = ValidText(r.store.label);
  rec.dut = ValidText(r.store.dut);
  rec.serial = ValidText(r.store.serial);
  rec.operator_name = ValidText(r.store.operator_name);
  rec.note = ValidText(r.store.note);
  rec.software_version = QVX_VERSION;

  const FloorFit& fit = rep.fit;
  rec.white_nv = Known(fit.white_nv);
  if (rec.white_nv) {
    rec.white_lo_nv = Known(fit.white_lo_nv);
    rec.white_hi_nv = Known(fit.white_hi_nv);
  }
  // An unresolved corner is no figure, as in the JSON: only where the fit's points show it.
  rec.corner_resolved = fit.corner_resolved && rec.white_nv.has_value();
  if (rec.corner_resolved) {
    rec.corner_hz = Known(fit.corner_hz);
    rec.corner_lo_hz = Known(fit.corner_lo_hz);
    rec.corner_hi_hz = Known(fit.corner_hi_hz);
  }
  if (s.lf) {
    rec.lf_rms_nv = Known(s.lf->rms_nv);
    rec.lf_pp_nv = Known(s.lf->pp_median_nv);
    rec.lf_psd_rms_nv = Known(s.lf->psd_rms_nv);
  }
  if (rep.limit) {
    rec.pass = rep.limit->pass;
    if (rep.limit->checked > 0) rec.worst_margin_db = Known(rep.limit->worst_margin_db);
    rec.limit_file = ValidText(rep.limit->file);
  }
  for (const ToneResult& t : rep.tones) {
    store::ToneRow row;
    row.hz = t.hz;
    row.uv = t.uv;
    row.ci_lo_uv = Known(t.ci_lo_uv);
    row.ci_hi_uv = Known(t.ci_hi_uv);
    rec.tones.push_back(row);
  }
  if (s.time) {
    const TimeRecordFigures& t = *s.time;
    for (const auto& [kind, list] : {std::pair{"allan", &t.allan}, std::pair{"hadamard", &t.hadamard}}) {
      for (const DeviationFigure& d : *list) {
        store::DeviationRow row;
        row.kind = kind;
        row.tau_s = d.tau_s;
        row.dev_v = d.dev_v;
        row.ci_lo_v = Known(d.ci_lo_v);
        row.ci_hi_v = Known(d.ci_hi_v);
        row.edf = Known(d.edf);
        row.noise = ValidText(d.noise);
        rec.deviations.push_back(row);
      }
    }
    if (t.drift_known) {
      rec.drift_v_per_s = Known(t.drift_v_per_s);
      rec.drift_lo_v_per_s = Known(t.drift_lo_v_per_s);
      rec.drift_hi_v_per_s = Known(t.drift_hi_v_per_s);
    }
    rec.bursts = t.bursts.detected;
  }

  // A log point's flags: those of the fine points in its log bin.
  std::map<int, unsigned> binFlags;
  for (const NoisePoint& p : s.points) {
    if (p.freq_hz > 0) binFlags[LogBinIndex(p.freq_hz, s.ppd)] |= p.flags;
  }
  for (const LogPoint& p : rep.log_points) {
    store::LogPointRow row;
    row.hz = p.hz;
    row.nv = p.nv;
    row.ci_lo_nv = Known(p.ci_lo_nv);
    row.ci_hi_nv = Known(p.ci_hi_nv);
    if (p.dof > 0) row.dof = p.dof;
    const auto flags = binFlags.find(LogBinIndex(p.hz, s.ppd));
    if (flags != binFlags.end()) row.flags = FlagLetters(flags->second);
    rec.log_points.push_back(std::move(row));
  }
  for (const BandResult& b : rep.bands) {
    store::BandRow row;
    row.lo_hz = b.lo_hz;
    row.hi_hz = b.hi_hz;
    row.rms_uv = b.rms_uv;
    row.ci_lo_uv = Known(b.ci_lo_uv);
    row.ci_hi_uv = Known(b.ci_hi_uv);
    if (b.tones > 0) row.rms_without_tones_uv = Known(b.noise_uv);
    rec.bands.push_back(row);
  }
  for (const SpotResult& p : rep.spots) {
    store::SpotRow row;
    row.hz = p.hz;
    row.nv = p.nv;
    row.ci_lo_nv = Known(p.ci_lo_nv);
    row.ci_hi_nv = Known(p.ci_hi_nv);
    rec.spots.push_back(row);
  }
  for (const std::string& path : result.files.paths) {
    store::FileRow row;
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    row.path = ValidText(ec ? path : absolute.lexically_normal().string());
    row.kind = FileKind(path);
    const auto bytes = std::filesystem::file_size(path, ec);
    if (!ec) row.bytes = static_cast<std::int64_t>(bytes);
    rec.files.push_back(std::move(row));
  }
  rec.documents.push_back({store::kSummaryDocument, result.summary});
  rec.documents.push_back({store::kJsonDocument, result.json});
  rec.documents.push_back({store::kCsvDocument, WriteNoiseCsv(s)});
  rec.documents.push_back({kPlotDocument, PlotDocument(run)});
  return rec;
}

namespace {

// An engine's message on one line: libpq's hints come on lines of their own.
std::string OneLine(const std::string& text) {
  std::string out;
  bool blank = false;
  for (char c : text) {
    const bool space = c == '\n' || c == '\r' || c == '\t' || c == ' ';
    if (space && !out.empty() && !blank) out += ' ';
    if (!space) out += c;
    blank = space;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

void StoreRun(const RunRequest& r, RunResult& result) {
  if (!r.store.enabled || !result.measured || !result.finished) return;
  try {
    const auto store = store::OpenStore(r.store.location);
    result.stored_id = store->Add(RunRecordOf(r, result));
  } catch (const store::StoreError& e) {
    result.store_error = RunError(ErrorKind::kStore, OneLine(e.what()));
  } catch (const std::exception& e) {
    result.store_error = RunError(
        ErrorKind::kStore, OneLine("results store " + store::DisplayLocation(r.store.location) + ": " + e.what()));
  }
}

std::optional<std::string> StoredDocument(const store::RunRecord& run, const std::string& name) {
  for (const store::DocumentRow& d : run.documents) {
    if (d.name == name) return d.content;
  }
  return std::nullopt;
}

FinishedRun RestoreRun(const store::RunRecord& stored) {
  const auto csv = StoredDocument(stored, store::kCsvDocument);
  if (!csv) {
    throw RunError(ErrorKind::kData, "run " + std::to_string(stored.id) + " has no csv document in the store");
  }
  SpectrumReadResult read = ReadNoiseCsv(*csv);
  if (!read.ok()) {
    throw RunError(ErrorKind::kData, "run " + std::to_string(stored.id) + ": its stored CSV: " + read.error);
  }
  const ReadJson j = ParseDocument(stored, store::kJsonDocument, true);
  const ReadJson plot = ParseDocument(stored, kPlotDocument, false);
  FinishedRun run;
  NoiseSpectrum& s = run.spectrum;
  s = std::move(read.spectrum);
  s.method = MethodFromName(Text(j, "method")).value_or(kMethodFft);
  s.idn = Text(Member(j, "instrument"), "idn");
  s.addr = Text(Member(j, "instrument"), "addr");
  s.date = Text(j, "date");
  s.source_file = Text(j, "file");
  s.partial = Flag(j, "partial");
  s.partial_reason = Text(j, "partial_reason");
  s.window.name = Text(j, "window");
  if (std::isfinite(Number(j, "enbw_bins"))) s.window.enbw = Number(j, "enbw_bins");
  s.window_source = Text(j, "window_source");
  s.averages = Whole(j, "averages");
  s.filter = Text(j, "filter");
  if (Whole(j, "ppd") > 0) s.ppd = Whole(j, "ppd");
  if (std::isfinite(Number(j, "confidence"))) s.confidence = Number(j, "confidence");
  s.input_referred = Flag(j, "input_referred");
  s.gain_text = Text(j, "gain");
  if (std::isfinite(Number(j, "gain_ratio"))) s.gain_ratio_1hz = Number(j, "gain_ratio");
  const ReadJson& floor = Member(j, "floor");
  s.floor_source = Text(floor, "file");
  s.floor_under_3db = Whole(floor, "under_3db");
  s.floor_under_10db = Whole(floor, "under_10db");
  if (Text(j, "averaging") == "median") s.averaging = psd::Averaging::Median;
  for (const auto& a : Member(j, "acquisitions")) {
    AcquisitionInfo info;
    info.start_hz = Number(a, "start_hz");
    info.end_hz = Number(a, "end_hz");
    info.tdiv_s = Number(a, "tdiv_s");
    info.fs_hz = Number(a, "fs_hz");
    info.rbw_hz = Number(a, "rbw_hz");
    info.fft_scale = Number(a, "fft_scale");
    info.fft_offset = Number(a, "fft_offset");
    info.clipped_points = Whole(a, "clipped_points");
    info.seconds = Number(a, "seconds");
    info.ch1_scale = Number(a, "ch1_scale");
    info.converter_floor_nv = Number(a, "converter_floor_nv");
    s.acquisitions.push_back(info);
  }
  for (const auto& rj : Member(j, "records")) {
    RecordInfo info;
    info.fs_hz = Number(rj, "fs_hz");
    info.points = static_cast<std::size_t>(std::max(0.0, Number(rj, "points")));
    info.seconds = Number(rj, "seconds");
    info.tdiv_s = Number(rj, "tdiv_s");
    info.ch1_scale = Number(rj, "ch1_scale");
    info.ch1_offset = Number(rj, "ch1_offset");
    info.clipped_points = Whole(rj, "clipped_points");
    info.converter_floor_nv = Number(rj, "converter_floor_nv");
    info.lo_hz = Number(rj, "lo_hz");
    info.hi_hz = Number(rj, "hi_hz");
    s.records.push_back(info);
  }
  const ReadJson& lf = Member(j, "lf_noise");
  if (lf.is_object()) {
    LfFigures f;
    f.rms_nv = Number(lf, "rms_nv");
    f.pp_median_nv = Number(lf, "pp_median_nv");
    f.pp_max_nv = Number(lf, "pp_max_nv");
    f.windows = Whole(lf, "windows");
    f.psd_rms_nv = Number(lf, "psd_rms_nv");
    const ReadJson& window = Member(plot, "lf_window");
    f.rate_hz = Number(window, "rate_hz");
    if (!std::isfinite(f.rate_hz)) f.rate_hz = 0.0;
    for (const auto& v : Member(window, "volts")) f.first_window_v.push_back(v.is_number() ? v.get<double>() : 0.0);
    s.lf = std::move(f);
  }
  const ReadJson& range = Member(j, "range");
  const double end = std::isfinite(Number(plot, "end_hz")) ? Number(plot, "end_hz") : Number(range, "end_hz");
  if (std::isfinite(end)) s.end_hz = end;

  NoiseReport& r = run.report;
  r.first_hz = std::isfinite(Number(range, "first_hz")) ? Number(range, "first_hz")
                                                        : (s.points.empty() ? 0.0 : s.points.front().freq_hz);
  r.end_hz = s.end_hz;
  r.fit.white_nv = Number(j, "white_nv");
  r.fit.corner_hz = Number(j, "corner_fit_hz");
  r.fit.corner_resolved = Flag(j, "corner_resolved");
  r.fit.white_lo_nv = At(Member(j, "white_ci_nv"), 0);
  r.fit.white_hi_nv = At(Member(j, "white_ci_nv"), 1);
  r.fit.corner_lo_hz = At(Member(j, "corner_ci_hz"), 0);
  r.fit.corner_hi_hz = At(Member(j, "corner_ci_hz"), 1);
  r.fit.points = Whole(j, "fit_points");
  r.fit.rejected = Whole(j, "fit_rejected");
  for (const auto& b : Member(j, "bands")) {
    BandResult band;
    band.lo_hz = Number(b, "lo_hz");
    band.hi_hz = Number(b, "hi_hz");
    band.rms_uv = Number(b, "rms_uv");
    band.points = Whole(b, "points");
    band.clipped_points = Whole(b, "clipped_points");
    band.ci_lo_uv = Number(b, "ci_lo_uv");
    band.ci_hi_uv = Number(b, "ci_hi_uv");
    band.dof = std::isfinite(Number(b, "dof")) ? Number(b, "dof") : 0.0;
    r.bands.push_back(band);
  }
  for (const auto& p : Member(j, "spots")) {
    SpotResult spot;
    spot.hz = Number(p, "hz");
    spot.nv = Number(p, "nv");
    spot.points = Whole(p, "points");
    spot.bins = Whole(p, "bins");
    spot.ci_lo_nv = Number(p, "ci_lo_nv");
    spot.ci_hi_nv = Number(p, "ci_hi_nv");
    spot.dof = std::isfinite(Number(p, "dof")) ? Number(p, "dof") : 0.0;
    r.spots.push_back(spot);
  }
  const ReadJson& flags = Member(j, "flags");
  r.flags.repeated_bin = Whole(flags, "repeated_bin");
  r.flags.clipped = Whole(flags, "clipped");
  r.flags.coarse_rbw = Whole(flags, "coarse_rbw");
  r.flags.quantisation = Whole(flags, "quantisation");
  r.flags.floor = Whole(flags, "floor");
  r.flags.gain_outside = Whole(flags, "gain_outside");
  for (const auto& p : Member(j, "log_points")) {
    LogPoint point;
    point.hz = Number(p, "hz");
    point.nv = Number(p, "nv");
    point.points = Whole(p, "points");
    point.ci_lo_nv = Number(p, "ci_lo_nv");
    point.ci_hi_nv = Number(p, "ci_hi_nv");
    point.dof = std::isfinite(Number(p, "dof")) ? Number(p, "dof") : 0.0;
    point.converter_nv = Number(p, "converter_nv");
    r.log_points.push_back(point);
  }
  const ReadJson& limit = Member(j, "limit");
  if (limit.is_object()) {
    LimitResult l;
    l.file = Text(limit, "file");
    l.pass = Flag(limit, "pass");
    l.worst_margin_db = Number(limit, "worst_margin_db");
    l.worst_hz = Number(limit, "worst_hz");
    l.failing_points = Whole(limit, "failing_points");
    l.checked = std::isfinite(l.worst_margin_db) ? static_cast<int>(r.log_points.size()) : 0;
    l.failing_ranges = Pairs(Member(limit, "failing_ranges_hz"));
    l.mask = Pairs(Member(plot, "limit_mask"));
    r.limit = std::move(l);
  }
  r.floor = Pairs(Member(plot, "floor"));
  return run;
}

RunFormats StoredFormats(const store::RunRecord& run) {
  RunFormats f;
  for (const store::FileRow& file : run.files) {
    if (file.kind == "csv") f.csv = true;
    if (file.kind == "json") f.json = true;
    if (file.kind == "png") f.png = true;
    if (file.kind == "svg") f.svg = true;
  }
  if (!f.csv && !f.json && !f.png && !f.svg) f.csv = f.json = true;
  return f;
}

WrittenFiles ExportStoredRun(const store::RunRecord& stored, const std::string& prefix, const RunFormats& f,
                             const RunImages* images) {
  if (f.npy) {
    throw RunError(ErrorKind::kUsage,
                   "the store keeps no raw records (npy); export csv, json, png or svg, or keep them with --format npy "
                   "when capturing");
  }
  const FinishedRun run = RestoreRun(stored);
  const RunDocuments documents{StoredDocument(stored, store::kCsvDocument).value_or(""),
                               StoredDocument(stored, store::kJsonDocument).value_or("")};
  return WriteRunFiles(run, prefix, f, {}, images, &documents);
}

}  // namespace qvx
