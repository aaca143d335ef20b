#include "analysis/cross_files.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "analysis/noise_files.h"
#include "core/text.h"
#include "psd/chi_squared.h"

namespace qvx {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::pair<unsigned, char> kLetters[] = {
    {kFlagRepeatedBin, 'R'}, {kFlagClipped, 'C'},     {kFlagCoarseRbw, 'W'}, {kFlagQuantisation, 'Q'},
    {kFlagFloor, 'F'},       {kFlagGainOutside, 'G'}, {kFlagTone, 'T'},      {kFlagUpperLimit, 'U'}};

Json NumberOrNull(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

std::string Nv(double nv) { return FormatSignificant(nv, 3) + " nV/\u221AHz"; }

double Median(std::vector<double> v) {
  if (v.empty()) return kNotKnown;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// The frequencies of the points `pick` chooses, as ranges of neighbours: "100 Hz - 158 Hz, 1 kHz".
template <class Pick>
std::string Ranges(const NoiseSpectrum& s, Pick pick) {
  std::string out;
  int shown = 0, runs = 0;
  for (std::size_t i = 0; i < s.points.size();) {
    if (!pick(i)) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j + 1 < s.points.size() && pick(j + 1)) ++j;
    ++runs;
    if (shown < 4) {
      out += (shown++ > 0 ? ", " : "") + FormatHz(s.points[i].freq_hz) +
             (j > i ? " - " + FormatHz(s.points[j].freq_hz) : std::string());
    }
    i = j + 1;
  }
  if (runs > shown) out += " and " + Counted(runs - shown, "more range");
  return out;
}

// P(Z > 3), Z standard normal: how often noise alone puts Re Sxy below zero beyond 3 sigma.
constexpr double kCollapseTail = 0.0013498980316301;

// The chance that at least k of n points pass a test each passes with probability p.
double ChanceAtLeast(int k, int n, double p) {
  double below = 0.0, term = std::pow(1.0 - p, n);  // P(X = 0)
  for (int i = 0; i < k && i <= n; ++i) {
    below += term;
    term *= static_cast<double>(n - i) / static_cast<double>(i + 1) * p / (1.0 - p);
  }
  return std::max(0.0, 1.0 - below);
}

std::string GainText(double g) {
  return "x" + FormatSignificant(g, 4) + " (" + FormatSignificant(20.0 * std::log10(g), 4) + " dB)";
}

}  // namespace

NoiseReport AnalyzeCrossSpectrum(const NoiseSpectrum& s, const AnalysisRequest& request) {
  NoiseSpectrum view = s;
  view.cross_points.clear();
  for (std::size_t i = 0; i < view.points.size() && i < s.cross_points.size(); ++i)
    view.points[i].dof = s.cross_points[i].equivalent_dof;
  NoiseReport r = AnalyzeNoise(view, request);
  // A spot is a headline figure: only resolved points make it (cells are log bins, so
  // leaving points out moves no other point's cell).
  NoiseSpectrum resolved = view;
  resolved.points.clear();
  for (const NoisePoint& p : view.points) {
    if (!(p.flags & kFlagUpperLimit)) resolved.points.push_back(p);
  }
  r.spots = resolved.points.empty() ? std::vector<SpotResult>{} : AnalyzeNoise(resolved, request).spots;
  if (resolved.points.empty()) {
    for (double hz : request.spots_hz) r.spots.push_back(SpotResult{hz});
  }
  // Each point is a log point already: its own interval, and its 2 m degrees of freedom.
  for (LogPoint& lp : r.log_points) {
    const int bin = LogBinIndex(lp.hz, s.ppd);
    for (std::size_t i = 0; i < s.points.size() && i < s.cross_points.size(); ++i) {
      if (LogBinIndex(s.points[i].freq_hz, s.ppd) != bin) continue;
      lp.dof = s.points[i].dof;
      lp.ci_lo_nv = s.cross_points[i].ci_lo_nv;
      lp.ci_hi_nv = s.cross_points[i].ci_hi_nv;
      break;
    }
  }
  return r;
}

std::string WriteCrossCsv(const NoiseSpectrum& s) {
  std::string out = std::string(kCrossCsvHeader) + "\n";
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    const NoisePoint& p = s.points[i];
    const CrossPointFigures c = i < s.cross_points.size() ? s.cross_points[i] : CrossPointFigures{};
    std::string flags;
    for (const auto& [flag, letter] : kLetters) {
      if (p.flags & flag) flags += letter;
    }
    for (double v : {p.freq_hz, p.density_nv, c.ci_lo_nv, c.ci_hi_nv, p.dof}) out += ShortestNumber(v) + ",";
    out += flags;
    for (double v : {c.ch1_nv, c.ch2_nv, c.floor_nv, c.im_nv, c.coherence}) out += "," + ShortestNumber(v);
    out += "\n";
  }
  return out;
}

bool IsCrossCsv(std::string_view text) {
  const std::string_view header(kCrossCsvHeader);
  return text.substr(0, header.size()) == header &&
         (text.size() == header.size() || text[header.size()] == '\n' || text[header.size()] == '\r');
}

SpectrumReadResult ReadCrossCsv(std::string_view text) {
  SpectrumReadResult r;
  auto fail = [&](std::size_t line, const std::string& why) {
    SpectrumReadResult bad;
    bad.line = static_cast<int>(line);
    bad.error = "line " + std::to_string(line) + ": " + why;
    return bad;
  };
  if (!IsCrossCsv(text)) return fail(1, std::string("expected the header ") + kCrossCsvHeader);
  const auto lines = TextLines(text);
  const double z = std::sqrt(psd::ChiSquaredQuantile(0.95, 1.0));
  NoiseSpectrum& s = r.spectrum;
  s.method = kMethodCross;
  s.window_source = "estimator";
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t number = i + 1;
    if (lines[i].empty() && i + 1 == lines.size()) break;
    std::vector<std::string_view> fields;
    for (std::string_view rest = lines[i];;) {
      const auto comma = rest.find(',');
      fields.push_back(rest.substr(0, comma));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    if (fields.size() != 11) {
      return fail(number,
                  "expected 11 fields (" + std::string(kCrossCsvHeader) + "), found " + std::to_string(fields.size()));
    }
    double v[11] = {};
    for (std::size_t k = 0; k < 11; ++k) {
      if (k == 5) continue;
      const auto value = ParseDecimal(fields[k]);
      if (!value || !std::isfinite(*value)) return fail(number, "field " + std::to_string(k + 1) + " is not a number");
      v[k] = *value;
    }
    NoisePoint p;
    p.freq_hz = v[0];
    p.density_nv = p.level_nv = v[1];
    p.dof = v[4];
    for (char c : fields[5]) {
      const auto* it =
          std::find_if(std::begin(kLetters), std::end(kLetters), [&](const auto& l) { return l.second == c; });
      if (it == std::end(kLetters)) return fail(number, "unknown flag '" + std::string(1, c) + "'");
      p.flags |= it->first;
    }
    if (!(p.freq_hz > 0) || p.density_nv < 0 || v[2] < 0 || v[3] < v[2] || p.dof < 0)
      return fail(number, "a frequency, density, interval or degrees of freedom out of range");
    if (!s.points.empty() && !(p.freq_hz > s.points.back().freq_hz))
      return fail(number, "the frequency does not rise above the one before it");
    CrossPointFigures c;
    c.ci_lo_nv = v[2];
    c.ci_hi_nv = v[3];
    c.averages = p.dof / 2.0;
    c.ch1_nv = v[6];
    c.ch2_nv = v[7];
    c.floor_nv = v[8];
    c.im_nv = v[9];
    c.coherence = v[10];
    // The interval is the normal one about Re: its half width in power is z sigma.
    const double re = p.density_nv * p.density_nv;
    const double sigma = (v[3] * v[3] - v[2] * v[2]) / (2.0 * z);
    c.equivalent_dof = re > 0 && sigma > 0 ? 2.0 * re * re / (sigma * sigma) : 1e-6;
    s.points.push_back(p);
    s.cross_points.push_back(c);
  }
  if (s.points.empty()) return fail(lines.size() + 1, "no points after the header");
  // Log points: their points per decade from the closest neighbours (a bin may be left out).
  double closest = 0.0;
  for (std::size_t i = 1; i < s.points.size(); ++i) {
    const double decades = std::log10(s.points[i].freq_hz / s.points[i - 1].freq_hz);
    if (closest == 0.0 || decades < closest) closest = decades;
  }
  if (closest > 0) s.ppd = closest >= 0.01 ? std::clamp(static_cast<int>(std::lround(1.0 / closest)), 1, 100) : 100;
  s.end_hz = CellHigh(s, s.points.size() - 1);
  return r;
}

void AddCrossJson(Json& j, const NoiseSpectrum& s) {
  if (!s.cross) return;
  const CrossFigures& c = *s.cross;
  Json unresolved = Json::array(), collapse = Json::array(), phase = Json::array(), points = Json::array();
  for (std::size_t i = 0; i < s.points.size() && i < s.cross_points.size(); ++i) {
    const CrossPointFigures& p = s.cross_points[i];
    const double hz = s.points[i].freq_hz;
    if (s.points[i].flags & kFlagUpperLimit) unresolved.push_back(hz);
    if (p.collapse) collapse.push_back(hz);
    if (p.phase) phase.push_back(hz);
    points.push_back({{"hz", hz},
                      {"ch1_nv", p.ch1_nv},
                      {"ch2_nv", p.ch2_nv},
                      {"floor_nv", p.floor_nv},
                      {"im_nv", p.im_nv},
                      {"coherence", p.coherence},
                      {"averages", p.averages},
                      {"seconds_to_resolve", NumberOrNull(p.seconds_to_resolve)}});
  }
  Json channel2 = Json::array();
  for (const SecondChannelInfo& ch : c.channel2) {
    channel2.push_back({{"scale", ch.scale},
                        {"offset", ch.offset},
                        {"clipped_points", ch.clipped_points},
                        {"converter_floor_nv", ch.converter_floor_nv}});
  }
  j["cross"] = {{"gain1", c.gain1},
                {"gain2", c.gain2},
                {"from_hz", c.from_hz},
                {"to_hz", c.to_hz},
                {"records", c.records},
                {"seconds", c.seconds},
                {"averages", c.averages_lowest},
                {"averages_highest", c.averages_highest},
                {"floor_drop_db", c.floor_drop_db},
                {"unresolved_points", c.unresolved_points},
                {"unresolved_hz", std::move(unresolved)},
                {"seconds_to_resolve", NumberOrNull(c.seconds_to_resolve)},
                {"collapse_points", c.collapse_points},
                {"collapse_hz", std::move(collapse)},
                {"phase_points", c.phase_points},
                {"phase_hz", std::move(phase)},
                {"lf_psd_rms_nv", NumberOrNull(c.lf_psd_rms_nv)},
                {"lf_covered", c.lf_covered},
                {"channel2", std::move(channel2)},
                {"points", std::move(points)}};
}

std::string CrossMethodLine(const NoiseSpectrum& s) {
  std::string out = "method      cross-spectrum of channels 1 and 2: ";
  if (s.cross && !s.records.empty()) {
    const RecordInfo& rec = s.records.front();
    std::string rate = FormatHz(rec.fs_hz);
    rate.replace(rate.size() - 2, 2, "Sa/s");
    out += Counted(static_cast<long long>(s.cross->records), "record") + " of " + FormatSeconds(rec.seconds) + " at " +
           rate + " (" + FormatSeconds(s.cross->seconds) + " of recording), gains " + GainText(s.cross->gain1) +
           " and " + GainText(s.cross->gain2) + "; ";
  }
  return out + "Welch, Hann, 50 % overlap, the mean of Re Sxy; " + FormatSignificant(100 * s.confidence, 3) +
         " % intervals\n";
}

std::string CrossSummaryText(const NoiseSpectrum& s, const NoiseReport& r) {
  if (!s.cross) return {};
  const CrossFigures& c = *s.cross;
  std::string out;
  const std::size_t n = std::min(s.points.size(), s.cross_points.size());
  if (n == 0) return "cross       no point from " + FormatHz(c.from_hz) + " to " + FormatHz(c.to_hz) + " yet\n";
  out += "averages    " + FormatSignificant(s.cross_points.front().averages, 4) + " at " +
         FormatHz(s.points.front().freq_hz) + " to " + FormatSignificant(s.cross_points[n - 1].averages, 4) + " at " +
         FormatHz(s.points[n - 1].freq_hz) + "; the statistical floor fell " + FormatSignificant(c.floor_drop_db, 3) +
         " dB over " + Counted(static_cast<long long>(c.records), "record") + "\n";
  std::vector<double> ch1, ch2;
  for (std::size_t i = 0; i < n; ++i) {
    ch1.push_back(s.cross_points[i].ch1_nv);
    ch2.push_back(s.cross_points[i].ch2_nv);
  }
  out += "channels    on their own (the median of the points): channel 1 " + Nv(Median(ch1)) + ", channel 2 " +
         Nv(Median(ch2)) + "; the cross-spectrum's floor is " + Nv(s.cross_points.front().floor_nv) + " at " +
         FormatHz(s.points.front().freq_hz) + " and " + Nv(s.cross_points[n - 1].floor_nv) + " at " +
         FormatHz(s.points[n - 1].freq_hz) + "\n";
  const auto upper = [&](std::size_t i) { return (s.points[i].flags & kFlagUpperLimit) != 0; };
  out += "resolved    " + std::to_string(static_cast<long long>(n) - c.unresolved_points) + " of " +
         Counted(static_cast<long long>(n), "point");
  if (c.unresolved_points > 0) {
    out += "; " + std::to_string(c.unresolved_points) +
           " only 95 % upper limits (U: left out of the fit and the spots; the bands take their estimates): " +
           Ranges(s, upper) + "; " +
           (std::isfinite(c.seconds_to_resolve)
                ? "at this rate they need about " + FormatDuration(c.seconds_to_resolve) + " more recording"
                : "some never resolve at this rate (Re Sxy at or below zero there)");
  }
  out += "\n";
  // Beyond 3 sigma, noise alone flags a point now and then: as many as chance gives in more
  // than one run in a hundred are a note, more a warning with what they mean.
  const auto flagged = [&](const char* name, int count, double tail, bool CrossPointFigures::*flag,
                           const char* meaning) {
    if (count == 0) return std::string();
    const std::string what = std::string(name) + ": " + Counted(count, "point") + " (" +
                             Ranges(s, [&](std::size_t i) { return s.cross_points[i].*flag; }) + ")";
    if (ChanceAtLeast(count, static_cast<int>(n), tail) > 0.01) {
      return "note        " + what + " beyond 3 sigma, no more than noise alone gives among " +
             Counted(static_cast<long long>(n), "point") + "\n";
    }
    return "warning     " + what + meaning + "\n";
  };
  out += flagged("collapse", c.collapse_points, kCollapseTail, &CrossPointFigures::collapse,
                 " where Re Sxy is below zero beyond 3 sigma: a correlated term of opposite sign on the two paths (a "
                 "ground loop, a shared supply) cancels the circuit's noise, so the densities there are no "
                 "measurement of a quiet circuit; find and remove what the channels share");
  out += flagged("phase", c.phase_points, 2 * kCollapseTail, &CrossPointFigures::phase,
                 " where |Im Sxy| is beyond 3 sigma: what the channels share is not in phase on the two paths "
                 "(unequal preamplifiers, a delay), and the real part reads low there");
  out +=
      "note        the cross-spectrum keeps whatever the two channels share: noise both paths pick up alike (a "
      "ground loop, a shared supply or reference) reads as the circuit's\n";
  if (std::isfinite(c.lf_psd_rms_nv)) {
    out +=
        "0.1-10 Hz   " + FormatVolts(c.lf_psd_rms_nv * 1e-9) + " rms from the circuit's density weighted by the filter";
    if (!c.lf_covered) out += "; not covered: the density starts at " + FormatHz(r.first_hz) + ", above 0.1 Hz";
    out += "\n";
  } else {
    out += "0.1-10 Hz   not covered (the range starts above 10 Hz)\n";
  }
  return out;
}

}  // namespace qvx
