#include "cli/noise_cli.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "analysis/corrections.h"
#include "analysis/noise_files.h"
#include "cli/history_cli.h"
#include "core/conversions.h"
#include "core/errors.h"
#include "core/files.h"
#include "core/text.h"
#include "link/socket_channel.h"
#include "plot/noise_plot.h"
#include "plot/run_images.h"
#include "run/run.h"
#include "settings/instrument_settings.h"
#include "sweep/sweep_plan.h"

namespace qvx {
namespace {

constexpr const char* kProgram = "qvx71-noise";

enum ExitCode : int {
  kExitDone = 0,
  kExitUsage = 2,
  kExitInstrument = 3,     // not reachable or not answering
  kExitData = 4,           // a malformed file, a fully clipped trace, a sweep out of time
  kExitLimit = 5,          // a log point over the limit mask
  kExitStore = 6,          // the results store could not keep the run
  kExitInterrupted = 130,  // Ctrl+C, SIGTERM, SIGHUP
};

int ExitCodeOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kUsage:
      return kExitUsage;
    case ErrorKind::kInstrument:
      return kExitInstrument;
    case ErrorKind::kData:
      return kExitData;
    case ErrorKind::kInterrupted:
      return kExitInterrupted;
    case ErrorKind::kStore:
      return kExitStore;
  }
  return kExitUsage;
}

// A failure with the exit code it means and a message that says what to do.
struct Stop {
  int code;
  std::string message;
};
[[noreturn]] void Fail(int code, std::string message) { throw Stop{code, std::move(message)}; }

std::pair<double, double> ParseRange(const std::string& text, const char* option) {
  const auto colon = text.find(':');
  std::optional<double> lo, hi;
  if (colon != std::string::npos) {
    lo = ParseDecimal(std::string_view(text).substr(0, colon));
    hi = ParseDecimal(std::string_view(text).substr(colon + 1));
  }
  if (!lo || !hi) Fail(kExitUsage, std::string(option) + " wants two numbers in Hz as LO:HI, not '" + text + "'");
  if (!(*lo >= 0) || !(*hi > *lo))
    Fail(kExitUsage,
         std::string(option) + " " + text + ": the second frequency must be above the first, both at least 0");
  return {*lo, *hi};
}

double ParsePositive(const std::string& text, const char* option, bool zeroAllowed = false) {
  const auto value = ParseDecimal(text);
  if (!value || !(zeroAllowed ? *value >= 0 : *value > 0)) {
    Fail(kExitUsage, std::string(option) + " wants a number " + (zeroAllowed ? "of at least 0" : "above 0") +
                         ", not '" + text + "'");
  }
  return *value;
}

// Options shared by measure and analyze.
struct ReportOptions {
  std::string gain;
  std::string gainDb;
  std::string gainFile;
  std::string floor;
  bool floorAny = false;
  std::string limit;
  std::vector<std::string> bands;
  std::vector<std::string> spots;
  std::string out;
  std::string formats;
  std::string json;
  std::string window;
  int ppd = 10;
  bool quiet = false;
  StoreOptions store;
};

// Whole numbers lo ... hi, with a message that says what is wrong with the text.
CLI::Validator WholeIn(int lo, int hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) -> std::string {
        int value = 0;
        if (!TryParseIniInteger(text, value) || text.find_first_of("xX") != std::string::npos)
          return text + " is not a number";
        if (value < lo || value > hi)
          return text + " is not between " + std::to_string(lo) + " and " + std::to_string(hi);
        return {};
      },
      "INT " + std::to_string(lo) + ".." + std::to_string(hi));
}

void AddReportOptions(CLI::App* cmd, ReportOptions& o) {
  cmd->add_option(
         "--band", o.bands,
         "band LO:HI in Hz for the integrated noise (repeatable; default: the whole range and each decade in it)")
      ->type_name("LO:HI")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--spot", o.spots,
                  "spot noise at HZ (repeatable; default: 10 Hz, 100 Hz, 1 kHz, 10 kHz where measured)")
      ->type_name("HZ")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--out", o.out, "write PREFIX.csv, PREFIX.json, PREFIX.png, PREFIX.svg as --format says");
  cmd->add_option("--format", o.formats, "files to write with --out: any of csv,json,png,svg (default csv,json)");
  cmd->add_option("--json", o.json, "write the JSON to FILE, or to standard output instead of the summary with -");
  cmd->add_option("--ppd", o.ppd, "log points per decade (default 10)")->check(WholeIn(1, 100));
  cmd->add_flag("--quiet", o.quiet, "no progress on standard error");
  cmd->add_option("--gain", o.gain,
                  "a preamplifier's gain as a ratio: every density, band, spot and figure is divided by it");
  cmd->add_option("--gain-db", o.gainDb, "the same gain in dB");
  cmd->add_option("--gain-file", o.gainFile,
                  "the gain from a file of frequency (Hz) and gain (dB) lines, interpolated on log frequency");
  cmd->add_option(
      "--floor", o.floor,
      "subtract the floor of a run with the input shorted (a JSON or CSV of qvx71-noise), in power, before the gain");
  cmd->add_flag("--floor-any", o.floorAny, "take a floor measured with other settings, with a warning");
  cmd->add_option(
      "--limit", o.limit,
      "a mask of frequency and largest density (nV/sqrt(Hz)) lines: exit 5 when a clean log point lies above it");
  AddStoreOptions(cmd, o.store);
}

// The request's corrections, analysis and files from the report's options.
void ApplyReportOptions(const ReportOptions& o, RunRequest& r) {
  const int given = !o.gain.empty() + !o.gainDb.empty() + !o.gainFile.empty();
  if (given > 1) Fail(kExitUsage, "give one of --gain, --gain-db and --gain-file");
  if (!o.gain.empty()) {
    const auto g = ParseDecimal(o.gain);
    if (!g || !(*g > 0)) Fail(kExitUsage, "--gain wants a ratio above 0, not '" + o.gain + "'");
    r.corrections.gain.ratio = *g;
    r.corrections.gain.given = true;
  }
  if (!o.gainDb.empty()) {
    const auto db = ParseDecimal(o.gainDb);
    if (!db) Fail(kExitUsage, "--gain-db wants a number of dB, not '" + o.gainDb + "'");
    const auto ratio = ParseGainText(o.gainDb + " dB", nullptr);
    if (!ratio) Fail(kExitUsage, "--gain-db " + o.gainDb + " is beyond any amplifier");
    r.corrections.gain.ratio = *ratio;
    r.corrections.gain.given = true;
  }
  r.corrections.gain_file = o.gainFile;
  r.corrections.floor_file = o.floor;
  r.corrections.limit_file = o.limit;
  r.floor_any = o.floorAny;
  for (const std::string& b : o.bands) {
    const auto [lo, hi] = ParseRange(b, "--band");
    r.analysis.bands.push_back({lo, hi});
  }
  for (const std::string& s : o.spots) r.analysis.spots_hz.push_back(ParsePositive(s, "--spot"));
  r.ppd = o.ppd;
  r.out_prefix = o.out;
  if (o.out.empty() && !o.formats.empty()) Fail(kExitUsage, "--format chooses the files of --out PREFIX; give --out too");
  if (!o.out.empty()) {
    std::stringstream list(o.formats.empty() ? std::string("csv,json") : o.formats);
    for (std::string item; std::getline(list, item, ',');) {
      if (item == "csv") r.formats.csv = true;
      else if (item == "json") r.formats.json = true;
      else if (item == "png") r.formats.png = true;
      else if (item == "svg") r.formats.svg = true;
      else if (item == "npy") r.formats.npy = true;
      else Fail(kExitUsage, "--format knows csv, json, png, svg and npy, not '" + item + "'");
    }
  }
  if (o.json != "-") r.json_path = o.json;
  ApplyStoreOptions(o.store, r);
}

// Channel 2's preamplifier of a cross-spectrum, as a ratio or in dB.
struct Gain2Options {
  std::string ratio;
  std::string db;
};

void AddGain2Options(CLI::App* cmd, Gain2Options& o, const char* default_text) {
  cmd->add_option(
      "--gain2", o.ratio,
      std::string("channel 2's preamplifier gain as a ratio, for the cross-spectrum (default: ") + default_text + ")");
  cmd->add_option("--gain2-db", o.db, "the same gain in dB");
}

std::optional<double> Gain2Of(const Gain2Options& o) {
  if (!o.ratio.empty() && !o.db.empty()) Fail(kExitUsage, "give one of --gain2 and --gain2-db");
  if (!o.ratio.empty()) {
    const auto g = ParseDecimal(o.ratio);
    if (!g || !(*g > 0) || !std::isfinite(*g)) Fail(kExitUsage, "--gain2 wants a ratio above 0, not '" + o.ratio + "'");
    return g;
  }
  if (!o.db.empty()) {
    if (!ParseDecimal(o.db)) Fail(kExitUsage, "--gain2-db wants a number of dB, not '" + o.db + "'");
    const auto ratio = ParseGainText(o.db + " dB", nullptr);
    if (!ratio) Fail(kExitUsage, "--gain2-db " + o.db + " is beyond any amplifier");
    return ratio;
  }
  return std::nullopt;
}

std::optional<FftWindow> WindowOption(const std::string& name) {
  if (name.empty()) return std::nullopt;
  auto w = FindFftWindow(name);
  if (!w) Fail(kExitUsage, "--window " + name + ": the windows are RECTangle, HANNing, HAMMing, BLACkman and FLATtop");
  return w;
}

// The address to use: the option's, else ADDR of the settings file; a dotted IPv4 address.
std::string AddressOf(const std::string& option, const InstrumentSettings& stored) {
  const std::string addr = !option.empty() ? option : stored.Addr;
  if (addr.empty()) {
    Fail(kExitUsage, std::string("no instrument address: give --addr A, or run where ") + kSettingsFileName +
                         " has ADDR=A in its [QVX71] section");
  }
  in_addr parsed{};
  if (::inet_pton(AF_INET, addr.c_str(), &parsed) != 1)
    Fail(kExitUsage, "the address '" + addr + "' is not a dotted IPv4 address");
  return addr;
}

int AveragesOf(const std::optional<int>& option, const InstrumentSettings& stored) {
  if (option) return *option;
  int k = 0;
  if (!TryParseIniInteger(stored.AveText, k)) k = 0;
  if (k < 1 || k > 64) {
    Fail(kExitUsage, "AVE=" + stored.AveText + " in " + std::string(kSettingsFileName) +
                         " is not an averaging count of 1 to 64; give --averages K");
  }
  return k;
}

psd::Averaging AveragingOf(const std::string& text) {
  if (text.empty() || text == "mean") return psd::Averaging::Mean;
  if (text == "median") return psd::Averaging::Median;
  Fail(kExitUsage, "--average is mean or median, not '" + text + "'");
}

// Ctrl+C, SIGTERM and SIGHUP: the run in progress stops within a second, the instrument is
// left running and nothing is written.
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
  }
  ~InterruptGuard() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
};

// Prints what a run came to and gives its exit code: the summary (or the JSON with --json -),
// the warnings, and why it stopped.
int Conclude(const RunRequest& r, const RunResult& result, const ReportOptions& o, std::ostream& out, std::ostream& err) {
  for (const std::string& w : result.warnings) err << kProgram << ": " << w << "\n";
  const bool storeFailed = ReportStoredRun(result, o.quiet, err, kProgram);
  if (result.status == RunStatus::kCancelled) {
    out.flush();
    err << kProgram << ": interrupted; nothing written"
        << (r.method == RunMethod::kRecord || r.method == RunMethod::kCross ? ", and the instrument left running" : "")
        << "\n";
    return kExitInterrupted;
  }
  if (result.finished) {
    if (o.json == "-") {
      out << result.json;
    } else {
      out << result.summary;
      if (!result.files.problem.empty()) out << result.json;
    }
    out.flush();
  }
  if (result.status == RunStatus::kFailed) {
    const RunError& e = *result.error;
    if (!result.finished) Fail(ExitCodeOf(e.kind()), e.what());
    std::string where = " (the results above cover what was measured before)";
    if (!r.out_prefix.empty() && result.files.problem.empty()) {
      where = " (what was measured before is in " + r.out_prefix + ".partial.*)";
    }
    Fail(ExitCodeOf(e.kind()), e.what() + where);
  }
  if (!result.files.problem.empty()) Fail(kExitUsage, result.files.problem + " (the results are on standard output)");
  if (storeFailed) return kExitStore;
  if (result.OverLimit()) {
    const LimitResult& limit = *result.finished->report.limit;
    Fail(kExitLimit, "over the limit " + limit.file + ": worst margin " + FormatSignificant(limit.worst_margin_db, 3) +
                         " dB at " + FormatHz(limit.worst_hz));
  }
  return kExitDone;
}

// Runs a request against the instrument, with the progress on standard error.
int Measured(RunRequest& r, const ReportOptions& o, std::ostream& out, std::ostream& err) {
  const bool terminal = ::isatty(2) == 1;
  RunSinks sinks;
  const ChartRunImages images;
  sinks.images = &images;
  std::string lastPhase;
  bool bar = false;
  if (!o.quiet) {
    sinks.plan = [&err](const std::string& text) { err << text << std::flush; };
    sinks.note = [&err](const std::string& line) { err << line << "\n" << std::flush; };
    if (r.method == RunMethod::kRecord || r.method == RunMethod::kCross) {
      sinks.progress = [&](const RunProgress& p) {
        const int percent = static_cast<int>(std::lround(100 * p.fraction));
        const std::string left = FormatDuration(std::max(0.0, p.seconds_left)) + " left";
        if (terminal) {
          const int filled = percent * 30 / 100;
          err << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(30 - filled), '.') << "] " << percent << " % " << p.phase << ", "
              << left << "\x1b[K" << std::flush;
          bar = true;
        } else if (p.phase != lastPhase) {
          err << p.phase << " (" << percent << " %, " << left << ")\n" << std::flush;
        }
        lastPhase = p.phase;
      };
    }
  }
  SocketChannel channel;
  RunResult result;
  {
    const InterruptGuard interrupts;
    r.cancel = &g_interrupted;
    result = RunNoise(r, channel, sinks);
  }
  if (bar) err << "\n";
  return Conclude(r, result, o, out, err);
}

// Why a plan cannot be made, with what to give instead.
std::string PlanProblem(const RunPlan& plan) {
  if (!plan.sweep_within) return plan.error;
  return plan.error + "; try --sweep " + FloatToStr(plan.sweep_within->first) + ":" +
         FloatToStr(plan.sweep_within->second);
}

// --- measure ---

struct MeasureOptions {
  std::string addr;
  bool setup = false;
  bool noSetup = false;
  std::string span;
  std::string sweep;
  std::optional<int> averages;
  std::string maxMinutes;
  std::string timeScale = "1";
  ReportOptions report;
};

int Measure(const MeasureOptions& o, std::ostream& out, std::ostream& err) {
  const bool sweep = !o.sweep.empty();
  if (sweep && o.noSetup) Fail(kExitUsage, "a sweep always sets the instrument up; leave out --no-setup");
  const bool setUp = sweep || o.setup;
  if (!setUp && !o.span.empty()) Fail(kExitUsage, "--span sets the instrument's span; add --setup");
  if (!setUp && o.averages) Fail(kExitUsage, "--averages sets the instrument's averaging; add --setup or use --sweep");
  RunRequest r;
  r.method = sweep ? RunMethod::kSweep : RunMethod::kFft;
  ApplyReportOptions(o.report, r);
  if (WindowOption(o.report.window)) r.fft.window = o.report.window;
  r.fft.time_scale = ParsePositive(o.timeScale, "--time-scale", true);
  if (!o.maxMinutes.empty()) r.max_seconds = ParsePositive(o.maxMinutes, "--max-minutes") * 60.0;
  if (sweep) std::tie(r.from_hz, r.to_hz) = ParseRange(o.sweep, "--sweep");
  if (!o.span.empty()) r.fft.span = ParseRange(o.span, "--span");

  // The settings file as the window reads it; a file without ADDR gives no address.
  const InstrumentSettings stored = ReadInstrumentSettings(TIniFile(kSettingsFileName), "");
  r.fft.set_up = setUp;
  r.fft.ch1_scale = stored.Ch1Scale;
  r.fft.first_range = {stored.FftScale, stored.FftOffset};
  r.fft.tdiv_text = stored.TDiv;
  r.fft.start_hz = stored.Startf;
  r.fft.end_hz = stored.Endf;
  if (setUp) r.fft.averages = AveragesOf(o.averages, stored);
  if (setUp && !sweep) {
    const auto tdiv = ParseDecimal(stored.TDiv);
    if (!tdiv || !(*tdiv > 0))
      Fail(kExitUsage, "TDIV=" + stored.TDiv + " in " + std::string(kSettingsFileName) + " is not a timebase in s/div");
  }
  const RunPlan plan = PlanRun(r);
  if (!plan.error.empty()) Fail(kExitUsage, PlanProblem(plan));
  r.addr = AddressOf(o.addr, stored);
  return Measured(r, o.report, out, err);
}

// --- analyze ---

struct AnalyzeOptions {
  std::string file;
  std::string span;
  std::string fs;
  std::string average;
  Gain2Options gain2;
  ReportOptions report;
};

int Analyze(const AnalyzeOptions& o, std::ostream& out, std::ostream& err) {
  RunRequest r;
  r.method = RunMethod::kFile;
  ApplyReportOptions(o.report, r);
  r.file.path = o.file;
  r.file.window = WindowOption(o.report.window);
  if (!o.span.empty()) r.file.span = ParseRange(o.span, "--span");
  if (!o.fs.empty()) r.file.fs_hz = ParsePositive(o.fs, "--fs");
  if (!o.average.empty()) r.file.averaging = AveragingOf(o.average);
  r.cross.gain2 = Gain2Of(o.gain2);
  RunSinks sinks;
  const ChartRunImages images;
  sinks.images = &images;
  const RunResult result = RunNoise(r, sinks);
  return Conclude(r, result, o.report, out, err);
}

// --- capture ---

struct CaptureOptions {
  std::string addr;
  std::string from;
  std::string to;
  std::string seconds;
  std::string average;
  std::string maxMinutes;
  bool cross = false;
  std::optional<int> records;
  bool untilResolved = false;
  Gain2Options gain2;
  ReportOptions report;
};

int Capture(const CaptureOptions& o, std::ostream& out, std::ostream& err) {
  RunRequest r;
  r.method = o.cross ? RunMethod::kCross : RunMethod::kRecord;
  if (!o.cross && (o.records || o.untilResolved || !o.gain2.ratio.empty() || !o.gain2.db.empty()))
    Fail(kExitUsage, "--records, --until-resolved, --gain2 and --gain2-db are for the cross-spectrum; add --cross");
  if (o.cross) {
    if (o.records) r.cross.records = static_cast<std::size_t>(*o.records);
    r.cross.until_resolved = o.untilResolved;
    r.cross.gain2 = Gain2Of(o.gain2);
  }
  ApplyReportOptions(o.report, r);
  r.averaging = AveragingOf(o.average);
  r.from_hz = ParsePositive(o.from, "--from");
  r.to_hz = ParsePositive(o.to, "--to");
  if (!o.seconds.empty()) r.seconds = ParsePositive(o.seconds, "--seconds");
  if (!o.maxMinutes.empty()) r.max_seconds = ParsePositive(o.maxMinutes, "--max-minutes") * 60.0;
  const RunPlan plan = PlanRun(r);
  if (!plan.error.empty()) Fail(kExitUsage, PlanProblem(plan));
  const InstrumentSettings stored = ReadInstrumentSettings(TIniFile(kSettingsFileName), "");
  r.addr = AddressOf(o.addr, stored);
  return Measured(r, o.report, out, err);
}

// --- plot ---

struct PlotOptions {
  std::vector<std::string> files;
  std::vector<std::string> labels;
  std::string out;
  std::string formats;
  std::string limit;
};

// A file as a run of the overlay: a JSON or CSV of qvx71-noise by its log points, or a data
// sheet's curve of frequency and nV/sqrt(Hz).
OverlayRun OverlayOf(const std::string& path, const std::string& label) {
  const std::string text = ReadWholeFile(path);
  OverlayRun run;
  run.label = label.empty() ? std::filesystem::path(path).filename().string() : label;
  std::string_view body = text;
  while (!body.empty() && (body.front() == ' ' || body.front() == '\n' || body.front() == '\r')) body.remove_prefix(1);
  if (!body.empty() && body.front() == '{') {
    nlohmann::json j;
    try {
      j = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception&) {
      Fail(kExitData, path + ": line 1: not a JSON of qvx71-noise");
    }
    if (!j.is_object() || !j.contains("log_points") || !j["log_points"].is_array())
      Fail(kExitData, path + ": line 1: a JSON without log_points");
    for (const auto& p : j["log_points"]) {
      auto number = [&](const char* key) {
        return p.is_object() && p.contains(key) && p[key].is_number() ? p[key].get<double>() : 0.0;
      };
      run.hz.push_back(number("hz"));
      run.nv.push_back(number("nv"));
      run.lo_nv.push_back(number("ci_lo_nv"));
      run.hi_nv.push_back(number("ci_hi_nv"));
    }
    return run;
  }
  if (IsNoiseCsv(text)) {
    const SpectrumReadResult csv = ReadNoiseCsv(text);
    if (!csv.ok()) Fail(kExitData, path + ": " + csv.error);
    for (const LogPoint& p : LogPoints(csv.spectrum, 10)) {
      run.hz.push_back(p.hz);
      run.nv.push_back(p.nv);
      run.lo_nv.push_back(std::isfinite(p.ci_lo_nv) ? p.ci_lo_nv : 0.0);
      run.hi_nv.push_back(std::isfinite(p.ci_hi_nv) ? p.ci_hi_nv : 0.0);
    }
    return run;
  }
  const CurveRead curve = ReadCurve(text, "a density in nV/sqrt(Hz)", true);
  if (!curve.ok())
    Fail(kExitData,
         path + ": " + curve.error + " (neither a file of qvx71-noise nor a curve of frequency and nV/sqrt(Hz))");
  for (const auto& [hz, nv] : curve.curve.points) {
    run.hz.push_back(hz);
    run.nv.push_back(nv);
  }
  return run;
}

int Plot(const PlotOptions& o, std::ostream& out) {
  if (o.labels.size() > o.files.size()) Fail(kExitUsage, "more --label than files");
  CheckOutputPrefix(o.out);
  bool png = false, svg = false;
  std::stringstream list(o.formats.empty() ? std::string("png") : o.formats);
  for (std::string item; std::getline(list, item, ',');) {
    if (item == "png")
      png = true;
    else if (item == "svg")
      svg = true;
    else
      Fail(kExitUsage, "plot's --format knows png and svg, not '" + item + "'");
  }
  std::vector<OverlayRun> runs;
  for (std::size_t i = 0; i < o.files.size(); ++i)
    runs.push_back(OverlayOf(o.files[i], i < o.labels.size() ? o.labels[i] : ""));
  std::vector<std::pair<double, double>> mask;
  if (!o.limit.empty()) {
    const CurveRead read = ReadCurve(ReadWholeFile(o.limit), "a density in nV/sqrt(Hz)", true);
    if (!read.ok()) Fail(kExitData, o.limit + ": " + read.error);
    mask = read.curve.points;
  }
  const std::string caption = std::to_string(runs.size()) + " runs" + (o.limit.empty() ? "" : ", limit " + o.limit);
  for (const auto& [wanted, suffix] : {std::pair{png, ".png"}, std::pair{svg, ".svg"}}) {
    if (!wanted) continue;
    const std::string problem = SaveOverlayImage(runs, mask, caption, o.out + suffix);
    if (!problem.empty()) Fail(kExitUsage, problem);
    out << o.out << suffix << "\n";
  }
  return kExitDone;
}

// --- plan ---

struct PlanOptions {
  std::string sweep;
  std::string capture;
  bool cross = false;
  std::optional<int> records;
  bool untilResolved = false;
  std::string seconds;
  int ppd = 10;
  std::optional<int> averages;
  std::string timeScale = "1";
};

int Plan(const PlanOptions& o, std::ostream& out) {
  if (o.sweep.empty() == o.capture.empty()) Fail(kExitUsage, "plan wants either --sweep FROM:TO or --capture FROM:TO");
  RunRequest r;
  r.ppd = o.ppd;
  if ((o.cross || o.records || o.untilResolved) && o.capture.empty())
    Fail(kExitUsage, "--cross, --records and --until-resolved plan a capture; give --capture FROM:TO");
  if ((o.records || o.untilResolved) && !o.cross)
    Fail(kExitUsage, "--records and --until-resolved are for the cross-spectrum; add --cross");
  if (!o.capture.empty()) {
    r.method = o.cross ? RunMethod::kCross : RunMethod::kRecord;
    if (o.records) r.cross.records = static_cast<std::size_t>(*o.records);
    r.cross.until_resolved = o.untilResolved;
    std::tie(r.from_hz, r.to_hz) = ParseRange(o.capture, "--capture");
    if (!o.seconds.empty()) r.seconds = ParsePositive(o.seconds, "--seconds");
  } else {
    r.method = RunMethod::kSweep;
    std::tie(r.from_hz, r.to_hz) = ParseRange(o.sweep, "--sweep");
    r.fft.averages = AveragesOf(o.averages, ReadInstrumentSettings(TIniFile(kSettingsFileName), ""));
    r.fft.time_scale = ParsePositive(o.timeScale, "--time-scale", true);
  }
  const RunPlan plan = PlanRun(r);
  if (!plan.error.empty()) Fail(kExitUsage, PlanProblem(plan));
  out << plan.text << std::flush;
  return kExitDone;
}

}  // namespace

int RunNoiseCli(int argc, char** argv) {
  QuietChartMessages(kProgram);
  std::ostream& out = std::cout;
  std::ostream& err = std::cerr;
  CLI::App app{
      "Noise density, band and spot noise, the 1/f corner and the 0.1-10 Hz noise from a QVX71 oscilloscope's FFT or "
      "its time record, headless."};
  app.name(kProgram);
  app.require_subcommand(1);
  app.footer(
      "Exit codes: 0 done, 2 usage, 3 instrument not reachable or not answering, 4 data unusable, 5 over the limit, "
      "6 results store failed (the run's files and summary are still written), 130 interrupted.");

  MeasureOptions m;
  CLI::App* measure = app.add_subcommand("measure", "measure the instrument's FFT and analyze it");
  measure->add_option("--addr", m.addr, "instrument address (default: ADDR of ./QVX71CONT.INI)");
  auto* setupFlag = measure->add_flag(
      "--setup", m.setup, "send the window's Set Param sequence (settings file values, or the options given) first");
  auto* noSetupFlag = measure->add_flag(
      "--no-setup", m.noSetup, "send no set-up command: read the instrument as it is (the default for one span)");
  setupFlag->excludes(noSetupFlag);
  auto* spanOpt = measure->add_option("--span", m.span, "FFT span START:END in Hz (with --setup)");
  auto* sweepOpt =
      measure->add_option("--sweep", m.sweep, "measure decade by decade from FROM to TO Hz (always sets up)");
  spanOpt->excludes(sweepOpt);
  measure->add_option("--averages", m.averages, "FFT averaging count K (default: AVE of the settings file, else 32)")
      ->check(WholeIn(1, 64));
  measure->add_option("--window", m.report.window,
                      "FFT window sent after the set-up, or assumed when the instrument does not say");
  measure->add_option("--max-minutes", m.maxMinutes, "give up when the measurement would take longer than M minutes");
  measure->add_option("--time-scale", m.timeScale,
                      "scale the waits for averages by S (default 1; match a simulator started with --time-scale S)");
  AddReportOptions(measure, m.report);

  CaptureOptions c;
  CLI::App* capture = app.add_subcommand(
      "capture",
      "measure from the channel's time record: the density from F1 to F2 and the 0.1-10 Hz noise; with --cross, "
      "the circuit's density from both channels' cross-spectrum");
  capture->add_option("--addr", c.addr, "instrument address (default: ADDR of ./QVX71CONT.INI)");
  capture->add_option("--from", c.from, "lowest frequency in Hz")->required();
  capture->add_option("--to", c.to, "highest frequency in Hz")->required();
  capture->add_option(
      "--seconds", c.seconds,
      "length of the slowest record (default: the 0.1-10 Hz figure with six windows when --from is 0.1 "
      "Hz or below, else about 20 degrees of freedom at --from); with --cross, the seconds of recording "
      "to average");
  capture->add_option("--average", c.average, "mean or median of the periodograms (default mean)");
  capture->add_option("--max-minutes", c.maxMinutes,
                      "refuse a capture that would take longer than M minutes (with --until-resolved: stop after M "
                      "minutes; default 60)");
  capture->add_flag("--cross", c.cross,
                    "both channels, each behind its own preamplifier from the same circuit: average their "
                    "cross-spectrum record after record, so the instrument's own noise falls away");
  capture->add_option("--records", c.records, "with --cross: average N records (default 10)")
      ->check(WholeIn(1, 1000000));
  capture->add_flag("--until-resolved", c.untilResolved,
                    "with --cross: average until every log point from --from to --to is resolved, or --max-minutes");
  AddGain2Options(capture, c.gain2, "--gain's");
  AddReportOptions(capture, c.report);
  capture->get_option("--format")
      ->description("files to write with --out: any of csv,json,png,svg,npy (npy: the raw records; default csv,json)");

  AnalyzeOptions a;
  CLI::App* analyze = app.add_subcommand(
      "analyze",
      "analyze a CSV of measure or capture, the window's clipboard export, or a capture's raw record (.npy)");
  analyze->add_option("FILE", a.file, "the file to analyze")->required();
  analyze->add_option("--span", a.span, "span START:END in Hz of a level-only clipboard export");
  analyze->add_option("--fs", a.fs, "sample rate in Hz of a .npy record without its JSON beside it");
  analyze->add_option("--average", a.average, "mean or median of a record's periodograms (default: as captured)");
  analyze->add_option("--window", a.report.window, "FFT window the levels were taken with (default HANNing)");
  AddGain2Options(analyze, a.gain2, "--gain's, else the capture's");
  AddReportOptions(analyze, a.report);

  PlotOptions pl;
  CLI::App* plotCmd = app.add_subcommand("plot",
                                         "draw several runs (files of qvx71-noise, or data-sheet curves of frequency "
                                         "and nV/sqrt(Hz)) in one log-log figure");
  plotCmd->add_option("FILE", pl.files, "the runs to draw")->required()->expected(1, -1);
  plotCmd->add_option("--out", pl.out, "write PREFIX.png and/or PREFIX.svg")->required();
  plotCmd->add_option("--format", pl.formats, "png, svg or both (default png)");
  plotCmd->add_option("--label", pl.labels, "a legend label for each file in turn (default: the file name)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  plotCmd->add_option("--limit", pl.limit, "a limit mask to draw with them");

  PlanOptions p;
  CLI::App* plan = app.add_subcommand(
      "plan", "print the acquisitions or records and the time a sweep or a capture would take, without connecting");
  plan->add_option("--sweep", p.sweep, "a sweep from FROM to TO Hz");
  plan->add_option("--capture", p.capture, "a capture of the time record from FROM to TO Hz");
  plan->add_option("--seconds", p.seconds,
                   "length of the capture's slowest record (with --cross: the seconds of recording)");
  plan->add_flag("--cross", p.cross, "plan a two-channel cross-spectrum capture");
  plan->add_option("--records", p.records, "with --cross: the records to average (default 10)")
      ->check(WholeIn(1, 1000000));
  plan->add_flag("--until-resolved", p.untilResolved,
                 "with --cross: until every log point is resolved, within an hour");
  plan->add_option("--ppd", p.ppd, "log points per decade (default 10)")->check(WholeIn(1, 100));
  plan->add_option("--averages", p.averages, "FFT averaging count K (default: AVE of the settings file, else 32)")
      ->check(WholeIn(1, 64));
  plan->add_option("--time-scale", p.timeScale, "scale of the averaging waits (default 1)");

  HistoryCommand history(app);

  // A first word that is no option and no command: say which commands there are.
  if (argc > 1 && argv[1][0] != '-' && std::string(argv[1]) != "measure" && std::string(argv[1]) != "analyze" &&
      std::string(argv[1]) != "plan" && std::string(argv[1]) != "capture" && std::string(argv[1]) != "plot" &&
      std::string(argv[1]) != "history") {
    err << kProgram << ": there is no command '" << argv[1]
        << "'; the commands are measure, capture, analyze, plot, plan and history (" << kProgram
        << " --help shows them)\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ConversionError& e) {
    err << kProgram << ": " << e.what() << "\n(" << kProgram << " --help shows the options)\n";
    return kExitUsage;
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    if (code == 0) return kExitDone;
    err << "(" << kProgram << " --help shows the options)\n";
    return kExitUsage;
  }

  try {
    if (measure->parsed()) return Measure(m, out, err);
    if (capture->parsed()) return Capture(c, out, err);
    if (plotCmd->parsed()) return Plot(pl, out);
    if (analyze->parsed()) return Analyze(a, out, err);
    if (history.Parsed()) return history.Run(out, err);
    return Plan(p, out);
  } catch (const Stop& stop) {
    out.flush();
    err << kProgram << ": " << stop.message << "\n";
    return stop.code;
  } catch (const RunError& e) {
    out.flush();
    err << kProgram << ": " << e.what() << "\n";
    return ExitCodeOf(e.kind());
  } catch (const std::exception& e) {
    // Nothing may abort the program: whatever escaped is reported as what it is.
    out.flush();
    err << kProgram << ": " << e.what() << "\n";
    return kExitUsage;
  }
}

}  // namespace qvx
