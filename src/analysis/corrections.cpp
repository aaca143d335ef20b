#include "analysis/corrections.h"

#include "psd/estimator.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "analysis/noise_files.h"

namespace qvx {
namespace {

bool Separator(char c) { return c == ',' || c == '\t' || c == ' ' || c == ';'; }

std::string Shown(std::string_view text) {
  std::string s(text.substr(0, 40));
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return "'" + s + (text.size() > 40 ? "...'" : "'");
}

double Interpolate(const std::vector<std::pair<double, double>>& pts, double hz, bool log_value, bool* outside) {
  if (outside) *outside = false;
  if (pts.empty()) return 1.0;
  if (hz <= pts.front().first || pts.size() == 1) {
    if (outside) *outside = hz < pts.front().first * (1 - 1e-12);
    return pts.front().second;
  }
  if (hz >= pts.back().first) {
    if (outside) *outside = hz > pts.back().first * (1 + 1e-12);
    return pts.back().second;
  }
  const auto hi = std::upper_bound(pts.begin(), pts.end(), hz, [](double f, const auto& p) { return f < p.first; });
  const auto lo = hi - 1;
  const double t = std::log(hz / lo->first) / std::log(hi->first / lo->first);
  if (log_value) return std::exp(std::log(lo->second) + t * (std::log(hi->second) - std::log(lo->second)));
  return lo->second + t * (hi->second - lo->second);
}

}  // namespace

double Curve::At(double hz, bool log_value, bool* outside) const { return Interpolate(points, hz, log_value, outside); }

CurveRead ReadCurve(std::string_view text, const char* value_name, bool positive) {
  CurveRead r;
  const auto lines = TextLines(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    line = line.substr(0, line.find('#'));
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
      while (at < line.size() && Separator(line[at])) ++at;
      const std::size_t start = at;
      while (at < line.size() && !Separator(line[at])) ++at;
      if (at > start) fields.push_back(line.substr(start, at - start));
    }
    if (fields.empty()) continue;
    const std::string where = "line " + std::to_string(i + 1) + ": ";
    // A first line of column names, as a spreadsheet writes, is no data.
    if (r.curve.points.empty() && !ParseDecimal(fields[0]) && fields.size() == 2 && !ParseDecimal(fields[1])) continue;
    if (fields.size() != 2) {
      r.error = where + "expected a frequency in Hz and " + value_name + ", found " + Shown(lines[i]);
      return r;
    }
    const auto hz = ParseDecimal(fields[0]);
    const auto value = ParseDecimal(fields[1]);
    if (!hz || !(*hz > 0)) {
      r.error = where + "the frequency " + Shown(fields[0]) + " is not a number above 0";
      return r;
    }
    if (!value || (positive && !(*value > 0))) {
      r.error =
          where + std::string(value_name) + " " + Shown(fields[1]) + " is not a number" + (positive ? " above 0" : "");
      return r;
    }
    if (!r.curve.points.empty() && !(*hz > r.curve.points.back().first)) {
      r.error = where + "the frequency " + Shown(fields[0]) + " does not rise above the one before it";
      return r;
    }
    r.curve.points.emplace_back(*hz, *value);
  }
  if (r.curve.points.empty())
    r.error = "line " + std::to_string(lines.size() + 1) + ": no frequency and " + value_name + " in it";
  return r;
}

double Gain::RatioAt(double hz, bool* outside) const {
  if (outside) *outside = false;
  if (!file) return ratio;
  return std::pow(10.0, file->At(hz, false, outside) / 20.0);
}

std::string Gain::Describe() const {
  if (file) return "gain from " + source;
  return "gain " + FormatSignificant(20.0 * std::log10(ratio), 4) + " dB (x" + FormatSignificant(ratio, 4) + ")";
}

FloorRead ReadFloorFile(std::string_view text, const std::string& name) {
  FloorRead r;
  r.floor.source = name;
  std::string_view body = text;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  while (!body.empty() &&
         (body.front() == ' ' || body.front() == '\n' || body.front() == '\r' || body.front() == '\t')) {
    body.remove_prefix(1);
  }
  if (!body.empty() && body.front() == '{') {
    // The JSON's log points at the converter are not kept there; its CSV beside it is. The
    // JSON gives the settings and, through "csv" beside it, the points: here, the log points
    // are re-referred to the converter with the gain the run used.
    nlohmann::json j;
    try {
      j = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {
      r.error = "line 1: not a JSON of qvx71-noise (" + std::string(e.what()).substr(0, 80) + ")";
      return r;
    }
    if (!j.is_object() || !j.contains("log_points") || !j["log_points"].is_array()) {
      r.error = "line 1: a JSON without log_points is no floor run of qvx71-noise";
      return r;
    }
    const double gain = j.contains("gain_ratio") && j["gain_ratio"].is_number() ? j["gain_ratio"].get<double>() : 1.0;
    // A run that took its converter's floor out says so, with the floor of each acquisition or
    // record: the floor run's own converter is then taken out of it, and the run takes out its own.
    struct Span {
      double lo, hi, q;
    };
    std::vector<Span> spans;
    const bool record = MethodFromName(j.value("method", std::string())) == kMethodRecord;
    for (const char* list : {"acquisitions", "records"}) {
      if (!j.contains(list) || !j[list].is_array()) continue;
      for (const auto& a : j[list]) {
        if (!a.is_object()) continue;
        const double lo = a.value(record ? "lo_hz" : "start_hz", 0.0);
        const double hi = a.value(record ? "hi_hz" : "end_hz", 0.0);
        const auto q = a.find("converter_floor_nv");
        if (q != a.end() && q->is_number()) spans.push_back({lo, hi, q->get<double>()});
      }
    }
    r.floor.converter_floor_included = !(j.value("converter_floor_subtracted", false) && !spans.empty());
    auto quantAt = [&](double hz) {
      double q = 0.0;
      for (const Span& span : spans) {
        if (hz >= span.lo && hz <= span.hi) q = std::max(q, span.q);
      }
      return q;
    };
    if (j.contains("lf_noise") && j["lf_noise"].is_object() && j["lf_noise"].contains("rms_nv") &&
        j["lf_noise"]["rms_nv"].is_number() && !j["lf_noise"].value("floor_subtracted", false)) {
      r.floor.lf_rms_nv = j["lf_noise"]["rms_nv"].get<double>() * gain;
    }
    for (const auto& p : j["log_points"]) {
      const double hz = p.contains("hz") && p["hz"].is_number() ? p["hz"].get<double>() : 0.0;
      double nv = p.contains("converter_nv") && p["converter_nv"].is_number()
                      ? p["converter_nv"].get<double>()
                      : (p.contains("nv") && p["nv"].is_number() ? p["nv"].get<double>() * gain : 0.0);
      if (!r.floor.converter_floor_included) {
        const double q = quantAt(hz);
        nv = std::sqrt(std::max(0.0, nv * nv - q * q));
      }
      if (hz > 0 && nv > 0 && (r.floor.density_nv.points.empty() || hz > r.floor.density_nv.points.back().first)) {
        r.floor.density_nv.points.emplace_back(hz, nv);
      }
    }
    if (j.contains("method") && j["method"].is_string()) r.floor.method = MethodFromName(j["method"].get<std::string>());
    auto collect = [&](const char* list, const char* key, std::vector<double>& into) {
      if (!j.contains(list) || !j[list].is_array()) return;
      for (const auto& a : j[list]) {
        if (a.is_object() && a.contains(key) && a[key].is_number()) into.push_back(a[key].get<double>());
      }
    };
    if (r.floor.method == kMethodRecord) {
      collect("records", "fs_hz", r.floor.rates_hz);
      collect("records", "ch1_scale", r.floor.ch1_scales);
    } else {
      collect("acquisitions", "rbw_hz", r.floor.rates_hz);
      collect("acquisitions", "ch1_scale", r.floor.ch1_scales);
    }
    if (r.floor.density_nv.points.empty()) r.error = "line 1: the JSON holds no log point to take as the floor";
    return r;
  }
  // A CSV of qvx71-noise: its levels at the converter (its densities before any correction).
  const SpectrumReadResult csv = ReadNoiseCsv(text);
  if (!csv.ok()) {
    r.error = csv.error;
    return r;
  }
  const bool record = csv.spectrum.method == kMethodRecord;
  const double root = record ? 1.0 : std::sqrt(HannWindow().enbw);
  r.floor.method = csv.spectrum.method;
  // Smoothed into log points first: a floor run scatters like any other.
  NoiseSpectrum s = csv.spectrum;
  for (NoisePoint& p : s.points) p.density_nv = p.level_nv / root;
  // A level of 0 is no floor to interpolate on log-log (nor to subtract).
  for (const LogPoint& p : LogPoints(s, 20)) {
    if (p.nv > 0 && std::isfinite(p.nv)) r.floor.density_nv.points.emplace_back(p.hz, p.nv);
  }
  if (r.floor.density_nv.points.empty()) r.error = "line 2: the CSV holds no point to take as the floor";
  return r;
}

std::string FloorMismatch(const Floor& floor, const NoiseSpectrum& run) {
  if (floor.method && *floor.method != run.method)
    return std::string("it was measured by ") + MethodName(*floor.method) + ", this run by " + MethodName(run.method);
  std::vector<double> rates, scales;
  if (run.method == kMethodRecord) {
    for (const RecordInfo& r : run.records) {
      rates.push_back(r.fs_hz);
      scales.push_back(r.ch1_scale);
    }
  } else {
    for (const AcquisitionInfo& a : run.acquisitions) {
      rates.push_back(a.rbw_hz);
      if (std::isfinite(a.ch1_scale)) scales.push_back(a.ch1_scale);
    }
  }
  auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (std::fabs(a[i] - b[i]) > 1e-6 * std::max(std::fabs(a[i]), std::fabs(b[i]))) return false;
    }
    return true;
  };
  const char* what = run.method == kMethodRecord ? "sample rates" : "RBWs";
  // A run read from a CSV alone says nothing of its settings to compare.
  if (!floor.rates_hz.empty() && !rates.empty() && !same(floor.rates_hz, rates)) {
    return std::string("its ") + what + " differ from this run's";
  }
  // A capture ranges each record's scale to what it measures (a shorted input gets a finer
  // one), and its converter floor is flagged on its own: only the FFT's set-up scale counts.
  if (run.method != kMethodRecord && !floor.ch1_scales.empty() && !scales.empty() && !same(floor.ch1_scales, scales)) {
    return "its channel scales differ from this run's";
  }
  return {};
}

void ApplyCorrections(NoiseSpectrum& s, const Gain& gain, const Floor* floor) {
  const double root = s.method == kMethodRecord ? 1.0 : std::sqrt(s.window.enbw);
  const bool converter = !floor || !floor->converter_floor_included;
  s.floor_under_3db = 0;
  s.floor_under_10db = 0;
  s.converter_floor_subtracted = false;
  for (NoisePoint& p : s.points) {
    p.flags &= ~(kFlagFloor | kFlagGainOutside);
    double d = p.level_nv / root;  // at the converter
    double power = d * d;
    // The converter's own noise, known from the set-up; a Q point is only an upper bound.
    if (converter && p.quant_nv > 0 && !(p.flags & kFlagQuantisation)) {
      power = std::max(0.0, power - p.quant_nv * p.quant_nv);
      s.converter_floor_subtracted = true;
    }
    if (floor && p.freq_hz > 0) {
      const double f = floor->density_nv.At(p.freq_hz, true);
      // Less than 3 dB above the floor, a point is only an upper bound: kept as measured.
      if (power < 2.0 * f * f) {
        p.flags |= kFlagFloor;
        ++s.floor_under_3db;
        ++s.floor_under_10db;
      } else {
        if (power < 10.0 * f * f) ++s.floor_under_10db;
        power -= f * f;
      }
    }
    d = std::sqrt(power);
    bool outside = false;
    d /= gain.RatioAt(p.freq_hz, &outside);
    if (outside) p.flags |= kFlagGainOutside;
    p.density_nv = d;
  }
  s.input_referred = gain.given;
  s.gain_text = gain.given ? gain.Describe() : std::string();
  s.gain_ratio_1hz = gain.RatioAt(1.0, nullptr);
  s.floor_source = floor ? floor->source : std::string();
  if (s.time && gain.given) {
    // Volts in time, divided as the 0.1-10 Hz figure is: by the gain at 1 Hz.
    TimeRecordFigures& t = *s.time;
    const double g = s.gain_ratio_1hz;
    for (auto* list : {&t.allan, &t.hadamard}) {
      for (DeviationFigure& d : *list) {
        d.dev_v /= g;
        d.ci_lo_v /= g;
        d.ci_hi_v /= g;
      }
    }
    t.drift_v_per_s /= g;
    t.drift_lo_v_per_s /= g;
    t.drift_hi_v_per_s /= g;
    for (double& v : t.bursts.levels_v) v /= g;
    t.bursts.amplitude_v /= g;
    for (auto& b : t.envelope) {
      b.mean_v /= g;
      b.lo_v /= g;
      b.hi_v /= g;
    }
  }
  if (s.lf) {
    LfFigures& lf = *s.lf;
    // The filtered record cannot be divided by a curve: its gain at 1 Hz, the band's middle.
    const double g = s.gain_ratio_1hz;
    if (floor && std::isfinite(floor->lf_rms_nv) && lf.rms_nv > floor->lf_rms_nv) {
      const double scale = std::sqrt(lf.rms_nv * lf.rms_nv - floor->lf_rms_nv * floor->lf_rms_nv) / lf.rms_nv;
      lf.rms_nv *= scale;
      lf.ci_lo_nv *= scale;
      lf.ci_hi_nv *= scale;
      lf.floor_subtracted = true;
    }
    lf.rms_nv /= g;
    lf.ci_lo_nv /= g;
    lf.ci_hi_nv /= g;
    lf.pp_median_nv /= g;
    lf.pp_max_nv /= g;
    for (double& v : lf.first_window_v) v /= g;
    // The density-weighted figure from the corrected density.
    if (lf.rate_hz > 0) {
      const psd::LfFilter filter(lf.rate_hz);
      double power = 0.0;
      for (std::size_t i = 0; i < s.points.size(); ++i) {
        const double f = s.points[i].freq_hz;
        if (f >= lf.rate_hz / 2) break;
        if (!(f > 0)) continue;
        power += std::pow(s.points[i].density_nv, 2) * filter.PowerGain(f) * (CellHigh(s, i) - CellLow(s, i));
      }
      lf.psd_rms_nv = std::sqrt(power);
    }
  }
}

LimitResult CheckLimit(const std::vector<LogPoint>& points, const Curve& mask) {
  LimitResult r;
  r.mask = mask.points;
  bool first = true;
  bool inRun = false;
  for (const LogPoint& p : points) {
    if (!(p.hz > 0) || !(p.nv > 0) || !p.clean) continue;
    bool outside = false;
    const double limit = mask.At(p.hz, true, &outside);
    if (outside) continue;  // the mask says nothing there
    ++r.checked;
    const double margin = 20.0 * std::log10(limit / p.nv);
    if (first || margin < r.worst_margin_db) {
      r.worst_margin_db = margin;
      r.worst_hz = p.hz;
      first = false;
    }
    if (margin < 0) {
      ++r.failing_points;
      r.pass = false;
      if (!inRun) r.failing_ranges.emplace_back(p.hz, p.hz);
      r.failing_ranges.back().second = p.hz;
      inRun = true;
    } else {
      inRun = false;
    }
  }
  return r;
}

}  // namespace qvx
