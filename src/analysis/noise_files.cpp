#include "analysis/noise_files.h"

#include "analysis/cross_files.h"
#include "psd/chi_squared.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

namespace qvx {

namespace {

std::vector<std::string_view> Lines(std::string_view text) { return TextLines(text); }

std::vector<std::string_view> Fields(std::string_view line, char separator = ',') {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto comma = line.find(separator);
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 40;
  std::string shown(text.substr(0, kShown));
  if (text.size() > kShown) shown += "...";
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return "'" + shown + "'";
}

SpectrumReadResult Failure(int line, std::string message) {
  SpectrumReadResult r;
  r.line = line;
  r.error = "line " + std::to_string(line) + ": " + std::move(message);
  return r;
}

// A noise level or density below 0 is no measurement.
std::optional<SpectrumReadResult> CheckPoint(const NoisePoint& p, int line) {
  if (p.level_nv < 0 || p.density_nv < 0) {
    return Failure(line, "a level below 0 (" + ShortestNumber(std::min(p.level_nv, p.density_nv)) +
                             " nV/\u221AHz) is no noise measurement");
  }
  return std::nullopt;
}

// Points that all share one frequency span nothing to analyse.
std::optional<SpectrumReadResult> CheckSpan(const NoiseSpectrum& s, int first_line) {
  if (s.points.size() > 1 && s.points.front().freq_hz == s.points.back().freq_hz) {
    return Failure(first_line + 1, "every point has the frequency " + ShortestNumber(s.points.front().freq_hz) +
                                       " Hz, so there is no spectrum");
  }
  return std::nullopt;
}

nlohmann::ordered_json NumberOrNull(double value) {
  if (!std::isfinite(value)) return nullptr;
  return value;
}

nlohmann::ordered_json TextOrNull(const std::string& text) {
  if (text.empty()) return nullptr;
  return text;
}

}  // namespace

std::string WriteNoiseCsv(const NoiseSpectrum& s) {
  if (!s.cross_points.empty() || s.method == kMethodCross) return WriteCrossCsv(s);
  // The interval and the degrees of freedom follow the four columns when they are known.
  const bool withDof = std::any_of(s.points.begin(), s.points.end(), [](const NoisePoint& p) { return p.dof > 0; });
  std::string out = kNoiseCsvHeader;
  if (withDof) out += kNoiseCsvDofColumns;
  out += '\n';
  out.reserve(out.size() + s.points.size() * (withDof ? 96 : 48));
  for (const NoisePoint& p : s.points) {
    out += ShortestNumber(p.freq_hz);
    out += ',';
    out += ShortestNumber(p.level_nv);
    out += ',';
    out += ShortestNumber(p.density_nv);
    out += ',';
    if (p.flags & kFlagRepeatedBin) out += 'R';
    if (p.flags & kFlagClipped) out += 'C';
    if (p.flags & kFlagCoarseRbw) out += 'W';
    if (p.flags & kFlagQuantisation) out += 'Q';
    if (p.flags & kFlagFloor) out += 'F';
    if (p.flags & kFlagGainOutside) out += 'G';
    if (p.flags & kFlagTone) out += 'T';
    if (withDof) {
      const psd::Interval ci = psd::PowerInterval(p.dof, s.confidence);
      out += ',';
      if (p.dof > 0) out += ShortestNumber(p.density_nv * std::sqrt(ci.lo));
      out += ',';
      if (p.dof > 0) out += ShortestNumber(p.density_nv * std::sqrt(ci.hi));
      out += ',';
      if (p.dof > 0) out += ShortestNumber(p.dof);
    }
    out += '\n';
  }
  return out;
}

bool IsNoiseCsv(std::string_view text) {
  if (IsCrossCsv(text)) return true;
  const auto lines = Lines(text.substr(0, 259));
  return !lines.empty() &&
         (lines.front() == kNoiseCsvHeader || lines.front() == std::string(kNoiseCsvHeader) + kNoiseCsvDofColumns);
}

namespace {

// The last point's step: as wide as the one before it, so the range of a span or a sweep
// ends where it ended when it was measured. False when the range does not fit a double.
bool CloseRange(NoiseSpectrum& s) {
  const auto& pts = s.points;
  const double step = pts.size() > 1 ? pts.back().freq_hz - pts[pts.size() - 2].freq_hz : 0.0;
  s.end_hz = pts.back().freq_hz + step;
  return std::isfinite(s.end_hz);
}

}  // namespace

SpectrumReadResult ReadNoiseCsv(std::string_view text) {
  if (IsCrossCsv(text)) return ReadCrossCsv(text);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return ReadNoiseCsvLines([&](std::string_view& line) {
    if (text.empty()) return false;
    const auto end = text.find('\n');
    line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return true;
  });
}

SpectrumReadResult ReadNoiseCsvLines(const LineSource& next) {
  std::string_view first;
  if (!next(first) || (first != kNoiseCsvHeader && first != std::string(kNoiseCsvHeader) + kNoiseCsvDofColumns)) {
    return Failure(1, std::string("expected the header ") + kNoiseCsvHeader);
  }
  const std::string header(first);
  const bool withDof = header != kNoiseCsvHeader;
  const std::size_t columns = withDof ? 7 : 4;
  SpectrumReadResult r;
  int number = 1;
  int emptyAt = 0;  // an empty line is the end only when it is the last
  std::string_view line;
  while (next(line)) {
    ++number;
    if (emptyAt > 0) {
      const auto fields = Fields(std::string_view());
      return Failure(emptyAt, "expected " + std::to_string(columns) + " fields (" + header + "), found " +
                                  std::to_string(fields.size()) + " in " + Quoted(""));
    }
    if (line.empty()) {
      emptyAt = number;
      continue;
    }
    const auto fields = Fields(line);
    if (fields.size() != columns) {
      return Failure(number, "expected " + std::to_string(columns) + " fields (" + header + "), found " +
                                 std::to_string(fields.size()) + " in " + Quoted(line));
    }
    NoisePoint p;
    const char* names[] = {"frequency", "level", "density"};
    double* targets[] = {&p.freq_hz, &p.level_nv, &p.density_nv};
    for (int k = 0; k < 3; ++k) {
      const auto value = ParseDecimal(fields[static_cast<std::size_t>(k)]);
      if (!value)
        return Failure(number, std::string("the ") + names[k] + " " + Quoted(fields[static_cast<std::size_t>(k)]) +
                                   " is not a number");
      *targets[k] = *value;
    }
    for (char c : fields[3]) {
      if (c == 'R')
        p.flags |= kFlagRepeatedBin;
      else if (c == 'C')
        p.flags |= kFlagClipped;
      else if (c == 'W')
        p.flags |= kFlagCoarseRbw;
      else if (c == 'Q')
        p.flags |= kFlagQuantisation;
      else if (c == 'F')
        p.flags |= kFlagFloor;
      else if (c == 'G')
        p.flags |= kFlagGainOutside;
      else if (c == 'T')
        p.flags |= kFlagTone;
      else
        return Failure(number, "unknown flag " + Quoted(fields[3]) + " (flags are R, C, W, Q, F, G and T)");
    }
    if (withDof && !fields[6].empty()) {
      const auto dof = ParseDecimal(fields[6]);
      if (!dof || !(*dof > 0))
        return Failure(number, "the degrees of freedom " + Quoted(fields[6]) + " are not a number above 0");
      p.dof = *dof;
    }
    if (!r.spectrum.points.empty() && p.freq_hz < r.spectrum.points.back().freq_hz) {
      return Failure(number, "the frequency " + Quoted(fields[0]) + " is below the one before it");
    }
    if (auto bad = CheckPoint(p, number)) return *bad;
    r.spectrum.points.push_back(p);
  }
  const int lines = number;
  if (r.spectrum.points.empty()) return Failure(lines + 1, "no points after the header");
  if (auto bad = CheckSpan(r.spectrum, 2)) return *bad;
  if (!CloseRange(r.spectrum)) return Failure(lines, "the frequencies span more than a number can hold");
  // The instrument's FFT comes in traces of 1000 evenly spaced points; the time record's
  // points are the estimator's, spaced by resolution. A record's cells are centred on its points.
  auto& pts = r.spectrum.points;
  bool traces = pts.size() % SPEC_POINTS == 0;
  for (std::size_t b = 0; traces && b < pts.size(); b += SPEC_POINTS) {
    const double step = pts[b + 1].freq_hz - pts[b].freq_hz;
    for (std::size_t i = b + 1; traces && i < b + SPEC_POINTS; ++i) {
      traces = std::fabs(pts[i].freq_hz - pts[i - 1].freq_hz - step) <= 1e-6 * std::max(std::fabs(step), 1e-300);
    }
  }
  if (!traces) {
    r.spectrum.method = kMethodRecord;
    r.spectrum.window_source = "estimator";
  }
  return r;
}

SpectrumReadResult ReadClipboardExport(std::string_view text, std::optional<std::pair<double, double>> span_hz) {
  const auto lines = Lines(text);
  if (lines.empty()) return Failure(1, "the file is empty");
  // Comma-separated as the window copies it, or tab-separated as a spreadsheet saves it.
  const char separator =
      lines.front().find(',') == std::string_view::npos && lines.front().find('\t') != std::string_view::npos ? '\t'
                                                                                                              : ',';
  const bool withFreq = lines.front().find(separator) != std::string_view::npos;
  std::size_t count = lines.size();
  if (lines.back().empty()) --count;  // a blank last line is no point
  if (count == 0) return Failure(1, "the file holds no levels");
  if (!withFreq && !span_hz) {
    SpectrumReadResult r = Failure(1, "the export has levels only; give the span it was taken with (--span START:END)");
    r.needs_span = true;
    return r;
  }
  SpectrumReadResult r;
  const FftWindow hann = HannWindow();
  const double root = std::sqrt(hann.enbw);
  for (std::size_t i = 0; i < count; ++i) {
    const int number = static_cast<int>(i) + 1;
    const auto fields = Fields(lines[i], separator);
    if (fields.size() != (withFreq ? 2u : 1u)) {
      return Failure(number, std::string("expected ") + (withFreq ? "'freq_kHz,level'" : "one level") + ", found " +
                                 Quoted(lines[i]));
    }
    NoisePoint p;
    if (withFreq) {
      const auto khz = ParseDecimal(fields[0]);
      if (!khz) return Failure(number, "the frequency " + Quoted(fields[0]) + " is not a number");
      p.freq_hz = *khz * 1000.0;
    } else {
      p.freq_hz =
          span_hz->first + (span_hz->second - span_hz->first) * static_cast<double>(i) / static_cast<double>(count);
    }
    if (!std::isfinite(p.freq_hz)) return Failure(number, "the frequency of this line is out of range");
    const auto level = ParseDecimal(fields.back());
    if (!level) return Failure(number, "the level " + Quoted(fields.back()) + " is not a number");
    p.level_nv = *level;
    p.density_nv = *level / root;
    if (!r.spectrum.points.empty() && p.freq_hz < r.spectrum.points.back().freq_hz) {
      return Failure(number, "the frequency " + Quoted(fields[0]) + " is below the one before it");
    }
    if (auto bad = CheckPoint(p, number)) return *bad;
    r.spectrum.points.push_back(p);
  }
  if (auto bad = CheckSpan(r.spectrum, 1)) return *bad;
  if (withFreq) {
    if (!CloseRange(r.spectrum))
      return Failure(static_cast<int>(count), "the frequencies span more than a number can hold");
  } else {
    r.spectrum.end_hz = span_hz->second;
  }
  return r;
}

std::string NoiseJsonText(const NoiseSpectrum& s, const NoiseReport& r) {
  using Json = nlohmann::ordered_json;
  Json j;
  j["version"] = kNoiseJsonVersion;
  j["instrument"] = {{"idn", TextOrNull(s.idn)}, {"addr", TextOrNull(s.addr)}};
  j["date"] = TextOrNull(s.date);
  if (!s.source_file.empty()) j["file"] = s.source_file;
  j["method"] = MethodName(s.method);
  j["partial"] = s.partial;
  j["partial_reason"] = s.partial ? Json(s.partial_reason) : Json(nullptr);
  j["window"] = s.window.name;
  j["window_source"] = s.window_source;
  j["enbw_bins"] = s.window.enbw;
  j["density_factor"] = 1.0 / std::sqrt(s.window.enbw);
  j["averages"] = s.averages > 0 ? Json(s.averages) : Json(nullptr);
  j["filter"] = TextOrNull(s.filter);
  j["ppd"] = s.ppd;
  Json acquisitions = Json::array();
  for (const AcquisitionInfo& a : s.acquisitions) {
    acquisitions.push_back({{"start_hz", a.start_hz},
                            {"end_hz", a.end_hz},
                            {"tdiv_s", a.tdiv_s},
                            {"fs_hz", a.fs_hz},
                            {"rbw_hz", a.rbw_hz},
                            {"fft_scale", a.fft_scale},
                            {"fft_offset", a.fft_offset},
                            {"clipped_points", a.clipped_points},
                            {"seconds", a.seconds},
                            {"ch1_scale", NumberOrNull(a.ch1_scale)},
                            {"converter_floor_nv", NumberOrNull(a.converter_floor_nv)}});
  }
  j["acquisitions"] = std::move(acquisitions);
  if (s.method == kMethodRecord || s.method == kMethodCross) {
    Json records = Json::array();
    for (const RecordInfo& rec : s.records) {
      records.push_back({{"fs_hz", rec.fs_hz},
                         {"points", rec.points},
                         {"seconds", rec.seconds},
                         {"tdiv_s", rec.tdiv_s},
                         {"ch1_scale", rec.ch1_scale},
                         {"ch1_offset", rec.ch1_offset},
                         {"clipped_points", rec.clipped_points},
                         {"converter_floor_nv", NumberOrNull(rec.converter_floor_nv)},
                         {"lo_hz", rec.lo_hz},
                         {"hi_hz", rec.hi_hz},
                         {"file", TextOrNull(rec.file)},
                         {"file_bytes", rec.file.empty() ? Json(nullptr) : Json(rec.file_bytes)}});
    }
    j["records"] = std::move(records);
    j["averaging"] = AveragingName(s.averaging);
  }
  j["confidence"] = s.confidence;
  j["input_referred"] = s.input_referred;
  j["gain"] = s.input_referred ? Json(s.gain_text) : Json(nullptr);
  j["gain_ratio"] = s.gain_ratio_1hz;
  j["converter_floor_subtracted"] = s.converter_floor_subtracted;
  j["floor"] =
      s.floor_source.empty()
          ? Json(nullptr)
          : Json{{"file", s.floor_source}, {"under_3db", s.floor_under_3db}, {"under_10db", s.floor_under_10db}};
  j["range"] = {{"first_hz", r.first_hz}, {"end_hz", r.end_hz}, {"points", s.points.size()}};
  j["white_nv"] = NumberOrNull(r.fit.white_nv);
  j["white_at_converter_floor"] = r.fit.at_converter_floor;
  j["white_upper_nv"] = NumberOrNull(r.fit.white_upper_nv);
  j["corner_hz"] = r.fit.corner_resolved ? NumberOrNull(r.fit.corner_hz) : Json(nullptr);
  j["corner_resolved"] = r.fit.corner_resolved;
  j["corner_fit_hz"] = NumberOrNull(r.fit.corner_hz);
  j["white_ci_nv"] = {NumberOrNull(r.fit.white_lo_nv), NumberOrNull(r.fit.white_hi_nv)};
  j["corner_ci_hz"] =
      r.fit.corner_resolved ? Json{NumberOrNull(r.fit.corner_lo_hz), NumberOrNull(r.fit.corner_hi_hz)} : Json(nullptr);
  j["fit_points"] = r.fit.points;
  j["fit_rejected"] = r.fit.rejected;
  Json bands = Json::array();
  for (const BandResult& b : r.bands) {
    bands.push_back({{"lo_hz", b.lo_hz},
                     {"hi_hz", b.hi_hz},
                     {"rms_uv", NumberOrNull(b.rms_uv)},
                     {"points", b.points},
                     {"clipped_points", b.clipped_points},
                     {"ci_lo_uv", NumberOrNull(b.ci_lo_uv)},
                     {"ci_hi_uv", NumberOrNull(b.ci_hi_uv)},
                     {"dof", b.dof > 0 ? Json(b.dof) : Json(nullptr)},
                     {"noise_uv", NumberOrNull(b.noise_uv)},
                     {"tones", b.tones}});
  }
  j["bands"] = std::move(bands);
  Json spots = Json::array();
  for (const SpotResult& p : r.spots) {
    spots.push_back({{"hz", p.hz},
                     {"nv", NumberOrNull(p.nv)},
                     {"points", p.points},
                     {"bins", p.bins},
                     {"ci_lo_nv", NumberOrNull(p.ci_lo_nv)},
                     {"ci_hi_nv", NumberOrNull(p.ci_hi_nv)},
                     {"dof", p.dof > 0 ? Json(p.dof) : Json(nullptr)}});
  }
  j["spots"] = std::move(spots);
  Json tones = Json::array();
  for (const ToneResult& t : r.tones) {
    tones.push_back({{"hz", t.hz},
                     {"uv", t.uv},
                     {"ci_lo_uv", NumberOrNull(t.ci_lo_uv)},
                     {"ci_hi_uv", NumberOrNull(t.ci_hi_uv)},
                     {"noise_nv", t.noise_nv}});
  }
  j["tones"] = std::move(tones);
  j["flags"] = {{"repeated_bin", r.flags.repeated_bin},
                {"clipped", r.flags.clipped},
                {"coarse_rbw", r.flags.coarse_rbw},
                {"quantisation", r.flags.quantisation},
                {"floor", r.flags.floor},
                {"gain_outside", r.flags.gain_outside},
                {"tone", r.flags.tone},
                {"upper_limit", r.flags.upper_limit}};
  Json logPoints = Json::array();
  for (const LogPoint& p : r.log_points) {
    logPoints.push_back({{"hz", p.hz},
                         {"nv", p.nv},
                         {"points", p.points},
                         {"ci_lo_nv", NumberOrNull(p.ci_lo_nv)},
                         {"ci_hi_nv", NumberOrNull(p.ci_hi_nv)},
                         {"dof", p.dof > 0 ? Json(p.dof) : Json(nullptr)},
                         {"converter_nv", p.converter_nv}});
  }
  j["log_points"] = std::move(logPoints);
  if (r.limit) {
    Json failing = Json::array();
    for (const auto& [lo, hi] : r.limit->failing_ranges) failing.push_back({lo, hi});
    j["limit"] = {{"file", r.limit->file},
                  {"pass", r.limit->pass},
                  {"worst_margin_db", r.limit->checked > 0 ? Json(r.limit->worst_margin_db) : Json(nullptr)},
                  {"worst_hz", r.limit->checked > 0 ? Json(r.limit->worst_hz) : Json(nullptr)},
                  {"failing_points", r.limit->failing_points},
                  {"failing_ranges_hz", std::move(failing)}};
  }
  if (s.time) {
    const TimeRecordFigures& t = *s.time;
    auto deviations = [](const std::vector<DeviationFigure>& list) {
      Json out = Json::array();
      for (const DeviationFigure& d : list) {
        out.push_back({{"tau_s", d.tau_s},
                       {"adev_v", d.dev_v},
                       {"ci_lo_v", d.ci_lo_v},
                       {"ci_hi_v", d.ci_hi_v},
                       {"edf", d.edf},
                       {"noise", d.noise}});
      }
      return out;
    };
    j["allan"] = deviations(t.allan);
    j["hadamard"] = deviations(t.hadamard);
    j["drift_v_per_s"] = t.drift_known ? Json(t.drift_v_per_s) : Json(nullptr);
    j["drift_ci_v_per_s"] = t.drift_known ? Json{t.drift_lo_v_per_s, t.drift_hi_v_per_s} : Json(nullptr);
    j["bursts"] = {{"detected", t.bursts.detected},
                   {"levels_v", t.bursts.levels_v},
                   {"amplitude_v", t.bursts.detected ? Json(t.bursts.amplitude_v) : Json(nullptr)},
                   {"rate_hz", t.bursts.detected ? Json(t.bursts.rate_hz) : Json(nullptr)},
                   {"dwell_s", t.bursts.dwell_s},
                   {"fraction", t.bursts.fraction},
                   {"steps", t.bursts.steps}};
    j["record_flags"] = t.bursts.detected ? "B" : "";
  }
  if (s.method == kMethodRecord) {
    if (s.lf) {
      j["lf_noise"] = {{"lo_hz", 0.1},
                       {"hi_hz", 10.0},
                       {"rms_nv", NumberOrNull(s.lf->rms_nv)},
                       {"pp_6p6_nv", NumberOrNull(6.6 * s.lf->rms_nv)},
                       {"pp_median_nv", NumberOrNull(s.lf->pp_median_nv)},
                       {"pp_max_nv", NumberOrNull(s.lf->pp_max_nv)},
                       {"windows", s.lf->windows},
                       {"covered", s.lf->covered},
                       {"ci_nv", {NumberOrNull(s.lf->ci_lo_nv), NumberOrNull(s.lf->ci_hi_nv)}},
                       {"dof", s.lf->dof > 0 ? Json(s.lf->dof) : Json(nullptr)},
                       {"floor_subtracted", s.lf->floor_subtracted},
                       {"psd_rms_nv", NumberOrNull(s.lf->psd_rms_nv)},
                       {"filter", kLfFilterText}};
    } else {
      j["lf_noise"] = nullptr;
    }
  }
  AddCrossJson(j, s);
  return j.dump(2) + "\n";
}

std::string NoiseSummaryText(const NoiseSpectrum& s, const NoiseReport& r) {
  std::string out;
  if (s.partial) out += "PARTIAL     " + s.partial_reason + "; what follows covers what was measured before\n";
  if (s.method == kMethodRecord) {
    out += s.records.empty() ? "method      time record, its points as written (no record in the file)"
                             : "method      time record: ";
    for (std::size_t i = 0; i < s.records.size(); ++i) {
      const RecordInfo& rec = s.records[i];
      out += (i > 0 ? ", " : "") + FormatSeconds(rec.seconds) + " at " +
             FormatHz(rec.fs_hz).replace(FormatHz(rec.fs_hz).size() - 2, 2, "Sa/s") + " for " + FormatHz(rec.lo_hz) +
             " - " + FormatHz(rec.hi_hz);
    }
    out += "; Welch, Hann, 50 % overlap, " + std::string(AveragingName(s.averaging)) + " of periodograms; " +
           FormatSignificant(100 * s.confidence, 3) + " % intervals\n";
  }
  if (s.method == kMethodCross) out += CrossMethodLine(s);
  if (s.method != kMethodRecord && s.method != kMethodCross) {
    out += "window      " + s.window.name + " (" + s.window_source + "), ENBW " + FormatSignificant(s.window.enbw, 4) +
           " bins: density = level x " + FormatSignificant(1.0 / std::sqrt(s.window.enbw), 4) + "\n";
  }
  out += "range       " + FormatHz(r.first_hz) + " - " + FormatHz(r.end_hz) + ", " +
         Counted(static_cast<long long>(s.points.size()), "point") + "\n";
  if (r.fit.at_converter_floor) {
    out += "white floor not measured: below the 8-bit converter's own floor (" + Counted(r.fit.quantised, "point") +
           " at it, Q); under about " + FormatSignificant(r.fit.white_upper_nv, 3) +
           " nV/\u221AHz; use a smaller channel scale or a preamplifier\n";
  } else if (std::isfinite(r.fit.white_nv)) {
    out += "white floor " + FormatSignificant(r.fit.white_nv, 4) + " nV/\u221AHz";
    if (std::isfinite(r.fit.white_lo_nv)) {
      out += " (95 %: " + FormatSignificant(r.fit.white_lo_nv, 4) + " ... " + FormatSignificant(r.fit.white_hi_nv, 4) +
             ")";
    }
    out += " from " + Counted(r.fit.points, "point") + ", " + std::to_string(r.fit.rejected) + " rejected as spurs\n";
    out += "1/f corner  " + CornerText(r.fit);
    if (r.fit.corner_resolved && std::isfinite(r.fit.corner_lo_hz)) {
      out += " (95 %: " + FormatHz(r.fit.corner_lo_hz) + " ... " + FormatHz(r.fit.corner_hi_hz) + ")";
    }
    if (s.time && s.time->bursts.detected)
      out += "; bursts (B) add a Lorentzian, which a white + 1/f fit does not describe";
    out += "\n";
  } else {
    out += "white floor not found (too few usable points)\n";
  }
  for (const BandResult& b : r.bands) {
    out += "band        " + FormatHz(b.lo_hz) + " - " + FormatHz(b.hi_hz) + ": ";
    out += std::isfinite(b.rms_uv) ? FormatVolts(b.rms_uv * 1e-6) + " rms"
                                   : std::string("not measured (outside the range)");
    if (b.clipped_points > 0) out += ", " + Counted(b.clipped_points, "clipped point") + " left out";
    if (b.quantised_points > 0) out += ", " + Counted(b.quantised_points, "point") + " at the converter's floor (Q)";
    if (b.tones > 0 && std::isfinite(b.noise_uv)) {
      out += "; " + FormatVolts(b.noise_uv * 1e-6) + " without its " + Counted(b.tones, "line");
    }
    out += "\n";
  }
  for (const SpotResult& p : r.spots) {
    out += "spot        " + FormatHz(p.hz) + ": ";
    out += std::isfinite(p.nv) ? FormatSignificant(p.nv, 4) + " nV/\u221AHz (" + Counted(p.points, "point") + ", " +
                                     Counted(p.bins, "distinct FFT bin") + ")"
                               : std::string("not measured (outside the range or not resolved)");
    if (std::isfinite(p.nv) && p.quantised_points > 0) out += ", at the converter's floor (Q)";
    out += "\n";
  }
  // The strongest lines; all of them are in the JSON and the CSV.
  std::vector<const ToneResult*> strongest;
  for (const ToneResult& t : r.tones) strongest.push_back(&t);
  std::sort(strongest.begin(), strongest.end(), [](const ToneResult* a, const ToneResult* b) { return a->uv > b->uv; });
  constexpr std::size_t kShownLines = 8;
  if (strongest.size() > kShownLines) strongest.resize(kShownLines);
  std::sort(strongest.begin(), strongest.end(), [](const ToneResult* a, const ToneResult* b) { return a->hz < b->hz; });
  for (const ToneResult* tone : strongest) {
    const ToneResult& t = *tone;
    out += "line        " + FormatHz(t.hz) + ": " + FormatVolts(t.uv * 1e-6) + " rms";
    if (std::isfinite(t.ci_lo_uv)) {
      out += " (95 %: " + FormatVolts(t.ci_lo_uv * 1e-6) + " ... " + FormatVolts(t.ci_hi_uv * 1e-6) + ")";
    }
    out += " on " + FormatSignificant(t.noise_nv, 3) + " nV/\u221AHz of noise (T)\n";
  }
  if (r.tones.size() > strongest.size()) {
    out += "            and " + Counted(static_cast<long long>(r.tones.size() - strongest.size()), "weaker line") +
           " (in the JSON's tones and the CSV's T points)\n";
  }
  out += "flags       " + std::to_string(r.flags.clipped) + " clipped (C), " + std::to_string(r.flags.repeated_bin) +
         " repeated bins (R), " + std::to_string(r.flags.coarse_rbw) + " with RBW wider than their log bin (W), " +
         std::to_string(r.flags.quantisation) + " at the converter's floor (Q)\n";
  if (r.flags.clipped > 0) out += "clipped     " + ClippedRanges(s) + "\n";
  if (s.input_referred || !s.floor_source.empty() || s.converter_floor_subtracted) {
    out +=
        "referred    " + std::string(s.input_referred ? "input-referred, " + s.gain_text : "at the converter") +
        (s.converter_floor_subtracted ? "; the converter's own floor subtracted" : "") +
        (s.floor_source.empty() ? std::string()
                                : "; floor " + s.floor_source + " subtracted (" + Counted(s.floor_under_3db, "point") +
                                      " less than 3 dB above it, kept as upper bounds (F); " +
                                      std::to_string(s.floor_under_10db) + " less than 10 dB)") +
        (r.flags.gain_outside > 0 ? "; " + Counted(r.flags.gain_outside, "point") + " beyond the gain file's range (G)"
                                  : std::string()) +
        "\n";
  }
  if (r.limit) {
    out += "limit       " + std::string(r.limit->pass ? "PASS" : "FAIL") + " against " + r.limit->file;
    if (r.limit->checked > 0) {
      out +=
          ": worst margin " + FormatSignificant(r.limit->worst_margin_db, 3) + " dB at " + FormatHz(r.limit->worst_hz);
    }
    if (!r.limit->pass) {
      out += "; " + Counted(r.limit->failing_points, "log point") + " over it in ";
      for (std::size_t i = 0; i < r.limit->failing_ranges.size() && i < 4; ++i) {
        out += (i > 0 ? ", " : "") + FormatHz(r.limit->failing_ranges[i].first) + " - " +
               FormatHz(r.limit->failing_ranges[i].second);
      }
    }
    out += "\n";
  }
  if (s.lf) {
    out += "0.1-10 Hz   " + FormatVolts(s.lf->rms_nv * 1e-9) + " rms, " + FormatVolts(6.6 * s.lf->rms_nv * 1e-9) +
           " p-p (6.6 x rms); median p-p " + FormatVolts(s.lf->pp_median_nv * 1e-9) + ", largest " +
           FormatVolts(s.lf->pp_max_nv * 1e-9) + " over " + Counted(s.lf->windows, "window") + " of 10 s; " +
           FormatVolts(s.lf->psd_rms_nv * 1e-9) + " rms from the density" +
           (std::isfinite(s.lf->ci_lo_nv)
                ? "; rms 95 %: " + FormatVolts(s.lf->ci_lo_nv * 1e-9) + " ... " + FormatVolts(s.lf->ci_hi_nv * 1e-9)
                : std::string()) +
           "\n";
    if (!s.lf->covered) {
      out += "            not covered: " + Counted(s.lf->windows, "window") +
             " (covered takes six and the density down to 0.1 Hz); the figures above are what the record gives\n";
    }
    std::vector<std::string> corrected;
    if (s.input_referred) corrected.push_back("input-referred (" + s.gain_text + " at 1 Hz)");
    if (s.lf->floor_subtracted) corrected.push_back("rms less the floor run's own in power");
    if (!s.floor_source.empty()) corrected.push_back("the density's figure less the floor");
    if (!corrected.empty()) {
      std::string joined;
      for (const std::string& c : corrected) joined += (joined.empty() ? "" : ", ") + c;
      out += "            corrected: " + joined + "\n";
    }
  } else if (s.method == kMethodRecord && s.records.empty()) {
    out += "0.1-10 Hz   not measured: it takes the records (analyze the run's .npy)\n";
  } else if (s.method == kMethodRecord) {
    out += "0.1-10 Hz   not covered (it needs at least 20 s at 100 Sa/s or more)\n";
  }
  if (s.time) {
    const TimeRecordFigures& t = *s.time;
    if (!t.allan.empty()) {
      out += "allan dev  ";
      bool any = false;
      for (double tau : {0.1, 1.0, 10.0}) {
        if (const auto d = DeviationAt(t.allan, tau)) {
          out += std::string(any ? "," : "") + " " + FormatSeconds(tau) + ": " + FormatVolts(*d);
          any = true;
        }
      }
      const auto lowest =
          std::min_element(t.allan.begin(), t.allan.end(),
                           [](const DeviationFigure& a, const DeviationFigure& b) { return a.dev_v < b.dev_v; });
      out += std::string(any ? "; " : " ") + "lowest " + FormatVolts(lowest->dev_v) + " at " +
             FormatSeconds(lowest->tau_s) + " (" + lowest->noise + " noise there)\n";
    }
    if (t.drift_known) {
      const bool zero = t.drift_lo_v_per_s <= 0 && t.drift_hi_v_per_s >= 0;
      out += "drift       " + FormatVolts(t.drift_v_per_s) + "/s (95 %: " + FormatVolts(t.drift_lo_v_per_s) +
             "/s ... " + FormatVolts(t.drift_hi_v_per_s) + "/s)" + (zero ? ", none shown" : "") + "\n";
    }
    if (t.bursts.detected) {
      out += "bursts      B: random telegraph steps of " + FormatVolts(t.bursts.amplitude_v) + " between " +
             Counted(static_cast<long long>(t.bursts.levels_v.size()), "level") + ", " +
             FormatSignificant(t.bursts.rate_hz, 3) + " switches/s";
      for (std::size_t i = 0; i < t.bursts.dwell_s.size() && i < t.bursts.fraction.size(); ++i) {
        out += std::string(i == 0 ? "; dwell " : ", ") + FormatSeconds(t.bursts.dwell_s[i]) + " (" +
               FormatSignificant(100 * t.bursts.fraction[i], 3) + " % of the time)";
      }
      out += "; the spectrum carries their Lorentzian, which no white + 1/f fit describes\n";
    } else {
      out += "bursts      none found\n";
    }
  }
  if (r.flags.quantisation > 0) {
    double floor = kNotKnown;
    auto lowest = [&floor](double nv) {
      if (std::isfinite(nv)) floor = std::isfinite(floor) ? std::min(floor, nv) : nv;
    };
    for (const AcquisitionInfo& a : s.acquisitions) lowest(a.converter_floor_nv);
    for (const RecordInfo& r : s.records) lowest(r.converter_floor_nv);
    out += "warning     " + Counted(r.flags.quantisation, "point") + " within 3 dB of the 8-bit converter's floor" +
           (std::isfinite(floor) ? " (" + FormatSignificant(floor, 3) + " nV/\u221AHz or more)" : std::string()) +
           " show the converter, not the source: left out of the fit, and marked where they decide a band or a spot;"
           " use a smaller channel scale or a preamplifier\n";
  }
  out += CrossSummaryText(s, r);
  return out;
}

std::string AdevCsvText(const TimeRecordFigures& t) {
  std::string out = std::string(kAdevCsvHeader) + "\n";
  for (const DeviationFigure& d : t.allan) {
    out += ShortestNumber(d.tau_s) + "," + ShortestNumber(d.dev_v) + "," + ShortestNumber(d.ci_lo_v) + "," +
           ShortestNumber(d.ci_hi_v) + "," + ShortestNumber(d.edf) + "," + d.noise + "\n";
  }
  return out;
}

std::optional<double> DeviationAt(const std::vector<DeviationFigure>& points, double tau_s) {
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (std::fabs(points[i].tau_s - tau_s) <= 1e-9 * tau_s) return points[i].dev_v;
    if (i + 1 < points.size() && points[i].tau_s < tau_s && points[i + 1].tau_s > tau_s && points[i].dev_v > 0 &&
        points[i + 1].dev_v > 0) {
      const double u = std::log(tau_s / points[i].tau_s) / std::log(points[i + 1].tau_s / points[i].tau_s);
      return std::exp(std::log(points[i].dev_v) + u * std::log(points[i + 1].dev_v / points[i].dev_v));
    }
  }
  return std::nullopt;
}

std::string ClippedRanges(const NoiseSpectrum& s) {
  std::string out;
  int runs = 0;
  int shown = 0;
  for (std::size_t i = 0; i < s.points.size();) {
    if (!(s.points[i].flags & kFlagClipped)) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j + 1 < s.points.size() && (s.points[j + 1].flags & kFlagClipped)) ++j;
    ++runs;
    if (shown < 3) {
      out += (shown > 0 ? ", " : "") + FormatHz(s.points[i].freq_hz) + " - " +
             FormatHz(s.points[j].freq_hz + PointWidth(s, j)) + " (" +
             Counted(static_cast<long long>(j - i + 1), "point") + ")";
      ++shown;
    }
    i = j + 1;
  }
  if (runs > shown) out += " and " + Counted(runs - shown, "more range");
  return out.empty() ? out : "stayed clipped (left out): " + out;
}

}  // namespace qvx
