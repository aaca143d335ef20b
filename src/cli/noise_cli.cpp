#include "cli/noise_cli.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QByteArray>
#include <QChart>
#include <QDateTime>
#include <QtGlobal>
#include <QString>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "analysis/corrections.h"
#include "analysis/noise_analysis.h"
#include "analysis/noise_files.h"
#include "analysis/noise_spectrum.h"
#include "capture/capture.h"
#include "psd/npy.h"
#include "job/noise_job.h"
#include "report/run_report.h"
#include "settings/instrument_settings.h"
#include "core/conversions.h"
#include "core/errors.h"
#include "link/socket_channel.h"
#include "link/whole_line_channel.h"
#include "plot/noise_plot.h"
#include "sweep/measurement.h"
#include "sweep/sweep_plan.h"

namespace qvx {
namespace {

constexpr const char* kProgram = "qvx71-noise";
constexpr int kImageWidth = 1200;
constexpr int kImageHeight = 800;

[[noreturn]] void Fail(int code, std::string message) { FailReport(code, std::move(message)); }

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
}

// The corrections of a run, read before anything is measured.
Corrections CorrectionsOf(const ReportOptions& o) {
  CorrectionFiles files;
  const int given = !o.gain.empty() + !o.gainDb.empty() + !o.gainFile.empty();
  if (given > 1) Fail(kExitUsage, "give one of --gain, --gain-db and --gain-file");
  if (!o.gain.empty()) {
    const auto g = ParseDecimal(o.gain);
    if (!g || !(*g > 0)) Fail(kExitUsage, "--gain wants a ratio above 0, not '" + o.gain + "'");
    files.gain.ratio = *g;
    files.gain.given = true;
  }
  if (!o.gainDb.empty()) {
    const auto db = ParseDecimal(o.gainDb);
    if (!db) Fail(kExitUsage, "--gain-db wants a number of dB, not '" + o.gainDb + "'");
    if (std::fabs(*db) > 300) Fail(kExitUsage, "--gain-db " + o.gainDb + " is beyond any amplifier");
    files.gain.ratio = std::pow(10.0, *db / 20.0);
    files.gain.given = true;
  }
  files.gain_file = o.gainFile;
  files.floor_file = o.floor;
  files.limit_file = o.limit;
  return LoadCorrections(files);
}

AnalysisRequest RequestOf(const ReportOptions& o) {
  AnalysisRequest r;
  for (const std::string& b : o.bands) {
    const auto [lo, hi] = ParseRange(b, "--band");
    r.bands.push_back({lo, hi});
  }
  for (const std::string& s : o.spots) r.spots_hz.push_back(ParsePositive(s, "--spot"));
  return r;
}

using Formats = RunFormats;

Formats FormatsOf(const ReportOptions& o) {
  Formats f;
  if (o.out.empty()) {
    if (!o.formats.empty()) Fail(kExitUsage, "--format chooses the files of --out PREFIX; give --out too");
    return f;
  }
  std::stringstream list(o.formats.empty() ? std::string("csv,json") : o.formats);
  std::string item;
  while (std::getline(list, item, ',')) {
    if (item == "csv")
      f.csv = true;
    else if (item == "json")
      f.json = true;
    else if (item == "png")
      f.png = true;
    else if (item == "svg")
      f.svg = true;
    else if (item == "npy")
      f.npy = true;
    else
      Fail(kExitUsage, "--format knows csv, json, png, svg and npy, not '" + item + "'");
  }
  return f;
}

std::optional<FftWindow> WindowOption(const std::string& name) {
  if (name.empty()) return std::nullopt;
  auto w = FindFftWindow(name);
  if (!w) Fail(kExitUsage, "--window " + name + ": the windows are RECTangle, HANNing, HAMMing, BLACkman and FLATtop");
  return w;
}

// "run.json" -> "run.partial.json"; other names get ".partial" at their end.
std::string PartialName(const std::string& path) {
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".partial";
  return path.substr(0, dot) + ".partial" + path.substr(dot);
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

// Before any connection: the prefix names files in a folder that exists and takes a file.
void CheckOutputPrefix(const std::string& prefix) {
  if (prefix.empty()) return;
  const std::filesystem::path path(prefix);
  if (!path.has_filename() || prefix.back() == '/') {
    Fail(kExitUsage, "--out " + prefix + " names a folder; give a file name prefix, such as " + prefix +
                         (prefix.back() == '/' ? "" : "/") + "run");
  }
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec))
    Fail(kExitUsage, "--out " + prefix + ": the folder " + folder.string() + " does not exist");
  std::string probe = (folder / ".qvx71-noise-XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0)
    Fail(kExitUsage,
         "--out " + prefix + ": the folder " + folder.string() + " does not take new files; check its permissions");
  ::close(fd);
  ::unlink(probe.c_str());
}

// The outputs of both commands: files, JSON, and the summary unless the JSON takes its place.
// When a file cannot be written, the results still reach standard output before the exit.
void Report(const NoiseSpectrum& measured, const ReportOptions& o, const Formats& f, std::ostream& out,
            const std::vector<std::vector<float>>* raw = nullptr) {
  const Corrections corrections = CorrectionsOf(o);
  if (corrections.floor) {
    const std::string mismatch = FloorMismatch(*corrections.floor, measured);
    if (!mismatch.empty() && !o.floorAny) {
      Fail(kExitUsage, "the floor " + o.floor + " does not match this run: " + mismatch +
                           "; measure the floor with the same settings, or give --floor-any");
    }
    if (!mismatch.empty())
      std::cerr << kProgram << ": warning: the floor " << o.floor << " does not match this run: " << mismatch << "\n";
  }
  const FinishedRun run = FinishRun(measured, corrections, RequestOf(o));
  const NoiseSpectrum& s = run.spectrum;
  const NoiseReport& r = run.report;
  const std::string json = NoiseJsonText(s, r);
  std::string problem = o.out.empty() ? std::string() : WriteRunFiles(run, o.out, f, raw);
  if (!o.json.empty() && o.json != "-") {
    const std::string jsonProblem = WriteWholeFile(o.json, json);
    if (problem.empty()) problem = jsonProblem;
  }
  if (o.json == "-") {
    out << json;
  } else {
    out << NoiseSummaryText(s, r);
    if (!problem.empty()) out << json;
  }
  out.flush();
  if (!problem.empty()) Fail(kExitUsage, problem + " (the results are on standard output)");
  if (r.limit && !r.limit->pass) {
    Fail(kExitLimit, "over the limit " + r.limit->file + ": worst margin " +
                         FormatSignificant(r.limit->worst_margin_db, 3) + " dB at " + FormatHz(r.limit->worst_hz));
  }
}

// A sweep the instrument can make: above 0 Hz, up to half its highest sample rate, and not
// below the decades its slowest timebase resolves.
void CheckSweep(double from, double to, int ppd) {
  if (!(from > 0)) Fail(kExitUsage, "--sweep starts above 0 Hz (decades start at a power of ten)");
  const SweepLimits limits = SweepLimitsFor(ppd);
  if (from < limits.lowest_hz || to > limits.highest_hz) {
    Fail(kExitUsage, "--sweep " + FormatHz(from) + " - " + FormatHz(to) + ": the instrument's FFT measures from " +
                         FormatHz(limits.lowest_hz) + " (its slowest timebase, at " + std::to_string(ppd) +
                         " points per decade) to " + FormatHz(limits.highest_hz) + " (half its " +
                         FormatHz(kMaxSampleRate) + " sample rate); try --sweep " +
                         FloatToStr(std::max(from, limits.lowest_hz)) + ":" +
                         FloatToStr(std::min(to, limits.highest_hz)));
  }
}

int AveragesOf(const std::optional<int>& option, const InstrumentSettings& stored) {
  if (option) return *option;
  int k = 0;
  try {
    k = StrToInt(stored.AveText);
  } catch (const EConvertError&) {
    k = 0;
  }
  if (k < 1 || k > 64) {
    Fail(kExitUsage, "AVE=" + stored.AveText + " in " + std::string(kSettingsFileName) +
                         " is not an averaging count of 1 to 64; give --averages K");
  }
  return k;
}

// Ctrl+C: the measurement in progress stops within a second and nothing is written.
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptGuard() { ::sigaction(SIGINT, &previous_, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previous_ {};
};

// Everything of the report's options that can be wrong, before anything is measured or
// read: the formats, the bands and spots, the output prefix and the correction files.
Formats CheckReportOptions(const ReportOptions& o) {
  const Formats formats = FormatsOf(o);
  static_cast<void>(RequestOf(o));
  CheckOutputPrefix(o.out);
  static_cast<void>(CorrectionsOf(o));
  return formats;
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
  const Formats formats = CheckReportOptions(o.report);
  const auto window = WindowOption(o.report.window);
  const double timeScale = ParsePositive(o.timeScale, "--time-scale", true);
  std::optional<std::chrono::steady_clock::time_point> deadline;
  double limitSeconds = 0.0;
  if (!o.maxMinutes.empty()) {
    limitSeconds = ParsePositive(o.maxMinutes, "--max-minutes") * 60.0;
    deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(limitSeconds));
  }

  // The settings file as the window reads it; a file without ADDR gives no address.
  const TIniFile ini(kSettingsFileName);
  const InstrumentSettings stored = ReadInstrumentSettings(ini, "");
  const std::string addr = AddressOf(o.addr, stored);

  MeasureSettings settings;
  settings.set_up = setUp;
  settings.ppd = o.report.ppd;
  if (window) settings.window = o.report.window;
  settings.time_scale = timeScale;
  settings.deadline = deadline;
  settings.ch1_scale = stored.Ch1Scale;
  settings.first_range = {stored.FftScale, stored.FftOffset};
  if (setUp) settings.averages = AveragesOf(o.averages, stored);
  if (sweep) {
    const auto [from, to] = ParseRange(o.sweep, "--sweep");
    CheckSweep(from, to, o.report.ppd);
    const SweepPlan plan = PlanSweep(from, to, o.report.ppd, settings.averages, timeScale);
    settings.acquisitions = plan.acquisitions;
    if (!o.report.quiet) err << PlanText(plan) << std::flush;
    if (deadline && plan.total_s > limitSeconds) {
      Fail(kExitUsage, "the sweep needs " + FormatDuration(plan.total_s) +
                           ", more than --max-minutes allows; allow more, or use fewer decades or averages");
    }
  } else {
    PlannedAcquisition a;
    if (setUp) {
      a.start_hz = stored.Startf;
      a.end_hz = stored.Endf;
      if (!o.span.empty()) std::tie(a.start_hz, a.end_hz) = ParseRange(o.span, "--span");
      settings.tdiv_text = stored.TDiv;
      const auto tdiv = ParseDecimal(stored.TDiv);
      if (!tdiv || !(*tdiv > 0))
        Fail(kExitUsage,
             "TDIV=" + stored.TDiv + " in " + std::string(kSettingsFileName) + " is not a timebase in s/div");
      a.tdiv_s = *tdiv;
      a.seconds =
          SetupPauseSeconds() + AverageWaitSeconds(settings.averages, a.tdiv_s, timeScale) + TracePauseSeconds();
      settings.strict_ranging = true;
    } else {
      a.seconds = TracePauseSeconds();
    }
    settings.acquisitions = {a};
  }

  SocketChannel channel;
  channel.SetAddress(addr);
  if (!o.report.quiet) err << "connecting to " << addr << ":" << INSTRUMENT_PORT << "\n" << std::flush;
  if (channel.ConnectInstrument() != 1) {
    Fail(kExitInstrument,
         "cannot connect to " + addr + ":" + std::to_string(INSTRUMENT_PORT) +
             " (refused or no answer within 5 s); check the address, the cable and that the instrument is on");
  }
  WholeLineChannel lines(channel);
  const std::string idn = lines.QueryInstrument("*IDN?");
  if (lines.PeerClosed()) {
    Fail(kExitInstrument,
         addr + " accepted the connection, then closed it at *IDN?; check that it is the instrument, then try again");
  }
  if (idn == kTimeoutReply) {
    Fail(kExitInstrument, addr +
                              " accepted the connection but did not answer *IDN? within 1 s; check that it is the "
                              "instrument and not busy, then try again");
  }

  LogSink progress;
  if (!o.report.quiet) progress = [&err](const std::string& line) { err << line << "\n" << std::flush; };
  MeasureOutcome outcome;
  settings.cancel = &g_interrupted;
  const InterruptGuard interrupts;
  try {
    outcome = RunMeasurement(lines, settings, progress);
  } catch (const Exception& e) {
    Fail(kExitInstrument, std::string("the instrument's reply could not be used: ") + e.what());
  }
  outcome.spectrum.idn = idn;
  outcome.spectrum.addr = addr;
  outcome.spectrum.date = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString();
  if (outcome.status == MeasureStatus::kCancelled) {
    err << kProgram << ": interrupted; nothing written\n";
    return kExitInterrupted;
  }
  if (outcome.status != MeasureStatus::kOk) {
    const int code = outcome.status == MeasureStatus::kNotAnswering ? kExitInstrument : kExitData;
    if (outcome.spectrum.points.empty() || outcome.status == MeasureStatus::kAllClipped) Fail(code, outcome.message);
    // What was measured is kept, beside (never in place of) the files of a complete run.
    outcome.spectrum.partial = true;
    outcome.spectrum.partial_reason = outcome.message;
    ReportOptions partial = o.report;
    if (!partial.out.empty()) partial.out += ".partial";
    if (!partial.json.empty() && partial.json != "-") partial.json = PartialName(partial.json);
    Report(outcome.spectrum, partial, formats, out);
    Fail(code,
         outcome.message + (partial.out.empty() ? std::string(" (the results above cover what was measured before)")
                                                : " (what was measured before is in " + partial.out + ".*)"));
  }
  Report(outcome.spectrum, o.report, formats, out);
  return kExitDone;
}

// --- analyze ---

struct AnalyzeOptions {
  std::string file;
  std::string span;
  std::string fs;
  std::string average;
  ReportOptions report;
};

psd::Averaging AveragingOf(const std::string& text) {
  if (text.empty() || text == "mean") return psd::Averaging::Mean;
  if (text == "median") return psd::Averaging::Median;
  Fail(kExitUsage, "--average is mean or median, not '" + text + "'");
}

// Raw records of a capture: PREFIX.npy, or PREFIX.1.npy, PREFIX.2.npy, ... beside
// PREFIX.json, whose records give each one's sample rate (or --fs for a lone file).
int AnalyzeRecords(const AnalyzeOptions& o, std::ostream& out, const Formats& formats) {
  const std::string prefix = o.file.substr(0, o.file.size() - 4);
  std::vector<std::string> files;
  std::error_code ec;
  if (std::filesystem::exists(o.file, ec)) {
    files.push_back(o.file);
  } else {
    for (int i = 1; std::filesystem::exists(prefix + "." + std::to_string(i) + ".npy", ec); ++i) {
      files.push_back(prefix + "." + std::to_string(i) + ".npy");
    }
  }
  if (files.empty()) Fail(kExitUsage, "cannot read " + o.file + " (nor " + prefix + ".1.npy); check the name");
  // PREFIX.2.npy alone belongs to PREFIX.json as its second record.
  std::string base = prefix;
  std::size_t first = 0;
  if (files.size() == 1 && files.front() == o.file && !std::filesystem::exists(prefix + ".json", ec)) {
    const auto dot = prefix.rfind('.');
    if (dot != std::string::npos && dot + 1 < prefix.size() &&
        prefix.find_first_not_of("0123456789", dot + 1) == std::string::npos) {
      base = prefix.substr(0, dot);
      first = static_cast<std::size_t>(std::stoul(prefix.substr(dot + 1))) - 1;
    }
  }
  nlohmann::json meta;
  if (std::filesystem::exists(base + ".json", ec)) {
    try {
      meta = nlohmann::json::parse(ReadWholeFile(base + ".json"));
    } catch (const nlohmann::json::exception&) {
      Fail(kExitData, base + ".json is not the JSON of a capture");
    }
  }
  std::vector<CapturedRecord> records;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const psd::NpyRead read = psd::ReadNpy(ReadWholeFile(files[i]));
    if (!read.ok()) Fail(kExitData, files[i] + ": " + read.error);
    CapturedRecord record;
    double fs = 0.0;
    const std::size_t at = first + i;
    if (meta.is_object() && meta.contains("records") && meta["records"].is_array() && at < meta["records"].size() &&
        meta["records"][at].is_object()) {
      const auto& rec = meta["records"][at];
      auto number = [&](const char* key) {
        return rec.contains(key) && rec[key].is_number() ? rec[key].get<double>() : 0.0;
      };
      fs = number("fs_hz");
      record.info.tdiv_s = number("tdiv_s");
      record.info.ch1_scale = number("ch1_scale");
      record.info.ch1_offset = number("ch1_offset");
      record.info.clipped_points = static_cast<int>(number("clipped_points"));
      record.info.lo_hz = number("lo_hz");
      record.info.hi_hz = number("hi_hz");
      if (number("converter_floor_nv") > 0) record.info.converter_floor_nv = number("converter_floor_nv");
    }
    if (!o.fs.empty()) fs = ParsePositive(o.fs, "--fs");
    if (!(fs > 0)) Fail(kExitUsage, files[i] + ": no sample rate; give --fs HZ, or keep " + base + ".json beside it");
    std::string averaging = o.average;
    if (averaging.empty() && meta.is_object() && meta.contains("averaging") && meta["averaging"].is_string())
      averaging = meta["averaging"];
    record.info.fs_hz = fs;
    record.info.points = read.samples.size();
    record.info.seconds = static_cast<double>(read.samples.size()) / fs;
    if (record.info.hi_hz == 0.0) record.info.hi_hz = psd::kTopFraction * fs;
    record.estimator = MakeRecordEstimator(fs, read.samples.size(), AveragingOf(averaging));
    // As the capture pushed them: float volts, in chunks.
    std::vector<float> samples(read.samples.begin(), read.samples.end());
    for (std::size_t p = 0; p < samples.size(); p += 250000) {
      record.estimator->Push(samples.data() + p, std::min<std::size_t>(250000, samples.size() - p));
    }
    records.push_back(std::move(record));
  }
  NoiseSpectrum s = StitchRecords(records, o.report.ppd);
  s.source_file = o.file;
  Report(s, o.report, formats, out);
  return kExitDone;
}

int Analyze(const AnalyzeOptions& o, std::ostream& out, std::ostream& err) {
  const Formats formats = CheckReportOptions(o.report);
  const auto window = WindowOption(o.report.window);
  std::optional<std::pair<double, double>> span;
  if (!o.span.empty()) span = ParseRange(o.span, "--span");

  if (o.file.size() > 4 && o.file.compare(o.file.size() - 4, 4, ".npy") == 0) return AnalyzeRecords(o, out, formats);
  const std::string text = ReadWholeFile(o.file);

  const bool csv = IsNoiseCsv(text);
  SpectrumReadResult read = csv ? ReadNoiseCsv(text) : ReadClipboardExport(text, span);
  if (read.needs_span) Fail(kExitUsage, o.file + ": " + read.error);
  if (!read.ok()) {
    const bool unknown = !csv && read.line == 1;
    Fail(kExitData, o.file + ": " + read.error +
                        (unknown ? " (neither a CSV of qvx71-noise nor the window's clipboard export)" : ""));
  }
  NoiseSpectrum& s = read.spectrum;
  s.source_file = o.file;
  s.ppd = o.report.ppd;

  // The CSV carries its own correction; a different one here is worth a word.
  const FftWindow used = window.value_or(HannWindow());
  if (csv) {
    std::vector<double> ratios;
    for (const NoisePoint& p : s.points) {
      if (p.density_nv != 0 && std::isfinite(p.level_nv / p.density_nv)) ratios.push_back(p.level_nv / p.density_nv);
    }
    if (!ratios.empty()) {
      std::nth_element(ratios.begin(), ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2), ratios.end());
      const double enbw = ratios[ratios.size() / 2] * ratios[ratios.size() / 2];
      if (std::fabs(enbw - used.enbw) > 1e-3 * used.enbw && !o.report.quiet) {
        err << kProgram << ": note: " << o.file << " was corrected for an ENBW of " << FormatFloat("0.000", enbw)
            << " bins; this analysis uses " << used.name << " (" << ShortestNumber(used.enbw)
            << "); give --window NAME to use another\n";
      }
    }
  }
  // A time record's CSV holds densities already (its level column is the density).
  const bool densities = csv && !window && std::all_of(s.points.begin(), s.points.end(), [](const NoisePoint& p) {
                           return p.level_nv == p.density_nv;
                         });
  if (densities) {
    s.method = kMethodRecord;
    s.window_source = "estimator";
  } else {
    SetFftWindow(s, used);
    s.window_source = "assumed";
  }
  Report(s, o.report, formats, out);
  return kExitDone;
}

// --- capture ---

struct CaptureOptions {
  std::string addr;
  std::string from;
  std::string to;
  std::string seconds;
  std::string average;
  std::string maxMinutes;
  ReportOptions report;
};

int Capture(const CaptureOptions& o, std::ostream& out, std::ostream& err) {
  const Formats formats = CheckReportOptions(o.report);
  const psd::Averaging averaging = AveragingOf(o.average);
  const double f1 = ParsePositive(o.from, "--from");
  const double f2 = ParsePositive(o.to, "--to");
  std::optional<double> seconds;
  if (!o.seconds.empty()) seconds = ParsePositive(o.seconds, "--seconds");
  const CapturePlan plan = PlanCapture(f1, f2, seconds, o.report.ppd);
  if (!plan.error.empty()) Fail(kExitUsage, plan.error);
  if (!o.maxMinutes.empty() && plan.total_s > ParsePositive(o.maxMinutes, "--max-minutes") * 60.0) {
    Fail(kExitUsage, "the capture needs about " + FormatDuration(plan.total_s) +
                         ", more than --max-minutes allows; allow more, or give a higher --from or fewer --seconds");
  }
  if (!o.report.quiet) err << CapturePlanText(plan) << std::flush;

  const TIniFile ini(kSettingsFileName);
  const InstrumentSettings stored = ReadInstrumentSettings(ini, "");
  const std::string addr = AddressOf(o.addr, stored);

  SocketChannel channel;
  WholeLineChannel lines(channel);
  std::string idn;
  if (const std::string refused = OpenInstrument(channel, lines, addr, idn); !refused.empty())
    Fail(kExitInstrument, refused);

  // Ctrl+C ends the capture within a second; the instrument is left running.
  std::optional<InterruptGuard> interrupts(std::in_place);
  const bool terminal = ::isatty(2) == 1;
  CaptureSettings settings;
  settings.averaging = averaging;
  settings.keep_samples = formats.npy;
  settings.cancel = &g_interrupted;
  settings.ppd = o.report.ppd;
  std::string lastPhase;
  if (!o.report.quiet) {
    settings.progress = [&](const CaptureProgress& p) {
      const int percent = static_cast<int>(std::lround(100 * p.fraction));
      const std::string what =
          "record " + std::to_string(p.record) + " of " + std::to_string(p.records) + ": " + p.phase;
      const std::string left = FormatDuration(std::max(0.0, p.seconds_left)) + " left";
      if (terminal) {
        const int filled = percent * 30 / 100;
        err << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
            << std::string(static_cast<std::size_t>(30 - filled), '.') << "] " << percent << " % " << what << ", "
            << left << "\x1b[K" << std::flush;
      } else if (what != lastPhase) {
        err << what << " (" << percent << " %, " << left << ")\n" << std::flush;
      }
      lastPhase = what;
    };
  }
  CaptureOutcome outcome = RunCapture(lines, plan, settings);
  interrupts.reset();
  if (terminal && !o.report.quiet) err << "\n";
  if (outcome.cancelled) {
    // Nothing is written: no half run in place of an earlier complete one.
    err << kProgram << ": interrupted; nothing written, and the instrument left running\n";
    return kExitInterrupted;
  }
  if (outcome.error) Fail(outcome.error->instrument ? kExitInstrument : kExitData, outcome.error->message);
  NoiseSpectrum s = StitchRecords(outcome.records, o.report.ppd);
  s.idn = idn;
  s.addr = addr;
  s.date = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString();
  std::vector<std::vector<float>> raw;
  for (CapturedRecord& r : outcome.records) raw.push_back(std::move(r.volts));
  Report(s, o.report, formats, out, &raw);
  return kExitDone;
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
  run.label = QString::fromStdString(label.empty() ? std::filesystem::path(path).filename().string() : label);
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
  EnsureGuiApplication();
  const QString caption =
      QString::fromStdString(std::to_string(runs.size()) + " runs" + (o.limit.empty() ? "" : ", limit " + o.limit));
  std::unique_ptr<QChart> chart(BuildOverlayChart(runs, mask, caption));
  for (const auto& [wanted, suffix] : {std::pair{png, ".png"}, std::pair{svg, ".svg"}}) {
    if (!wanted) continue;
    QString error;
    if (!SaveChartImage(*chart, QString::fromStdString(o.out + suffix), QSize(kImageWidth, kImageHeight), &error)) {
      Fail(kExitUsage, WriteProblem(o.out + suffix, error.toStdString()));
    }
    out << o.out << suffix << "\n";
  }
  return kExitDone;
}

// --- plan ---

struct PlanOptions {
  std::string sweep;
  std::string capture;
  std::string seconds;
  int ppd = 10;
  std::optional<int> averages;
  std::string timeScale = "1";
};

int Plan(const PlanOptions& o, std::ostream& out) {
  if (o.sweep.empty() == o.capture.empty()) Fail(kExitUsage, "plan wants either --sweep FROM:TO or --capture FROM:TO");
  if (!o.capture.empty()) {
    const auto [f1, f2] = ParseRange(o.capture, "--capture");
    std::optional<double> seconds;
    if (!o.seconds.empty()) seconds = ParsePositive(o.seconds, "--seconds");
    const CapturePlan plan = PlanCapture(f1, f2, seconds, o.ppd);
    if (!plan.error.empty()) Fail(kExitUsage, plan.error);
    out << CapturePlanText(plan) << std::flush;
    return kExitDone;
  }
  const auto [from, to] = ParseRange(o.sweep, "--sweep");
  CheckSweep(from, to, o.ppd);
  const InstrumentSettings stored = ReadInstrumentSettings(TIniFile(kSettingsFileName), "");
  const int k = AveragesOf(o.averages, stored);
  const double timeScale = ParsePositive(o.timeScale, "--time-scale", true);
  out << PlanText(PlanSweep(from, to, o.ppd, k, timeScale)) << std::flush;
  return kExitDone;
}

// Qt's warnings (a missing runtime folder, font fallbacks) are not the user's business
// here; what goes wrong with an image is reported by this program itself.
void QuietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::cerr << kProgram << ": " << message.toStdString() << "\n";
}

}  // namespace

int RunNoiseCli(int argc, char** argv) {
  if (!std::getenv("QVX_QT_MESSAGES")) qInstallMessageHandler(QuietQtMessages);
  std::ostream& out = std::cout;
  std::ostream& err = std::cerr;
  CLI::App app{
      "Noise density, band and spot noise, the 1/f corner and the 0.1-10 Hz noise from a QVX71 oscilloscope's FFT or "
      "its time record, headless."};
  app.name(kProgram);
  app.require_subcommand(1);
  app.footer(
      "Exit codes: 0 done, 2 usage, 3 instrument not reachable or not answering, 4 data unusable, 5 over the limit, "
      "130 interrupted.");

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
      "capture", "measure from the channel's time record: the density from F1 to F2 and the 0.1-10 Hz noise");
  capture->add_option("--addr", c.addr, "instrument address (default: ADDR of ./QVX71CONT.INI)");
  capture->add_option("--from", c.from, "lowest frequency in Hz")->required();
  capture->add_option("--to", c.to, "highest frequency in Hz")->required();
  capture->add_option("--seconds", c.seconds,
                      "length of the slowest record (default: the 0.1-10 Hz figure with six windows when --from is 0.1 "
                      "Hz or below, else about 20 degrees of freedom at --from)");
  capture->add_option("--average", c.average, "mean or median of the periodograms (default mean)");
  capture->add_option("--max-minutes", c.maxMinutes, "refuse a capture that would take longer than M minutes");
  AddReportOptions(capture, c.report);

  AnalyzeOptions a;
  CLI::App* analyze = app.add_subcommand(
      "analyze",
      "analyze a CSV of measure or capture, the window's clipboard export, or a capture's raw record (.npy)");
  analyze->add_option("FILE", a.file, "the file to analyze")->required();
  analyze->add_option("--span", a.span, "span START:END in Hz of a level-only clipboard export");
  analyze->add_option("--fs", a.fs, "sample rate in Hz of a .npy record without its JSON beside it");
  analyze->add_option("--average", a.average, "mean or median of a record's periodograms (default: as captured)");
  analyze->add_option("--window", a.report.window, "FFT window the levels were taken with (default HANNing)");
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
  plan->add_option("--seconds", p.seconds, "length of the capture's slowest record");
  plan->add_option("--ppd", p.ppd, "log points per decade (default 10)")->check(WholeIn(1, 100));
  plan->add_option("--averages", p.averages, "FFT averaging count K (default: AVE of the settings file, else 32)")
      ->check(WholeIn(1, 64));
  plan->add_option("--time-scale", p.timeScale, "scale of the averaging waits (default 1)");

  // A first word that is no option and no command: say which commands there are.
  if (argc > 1 && argv[1][0] != '-' && std::string(argv[1]) != "measure" && std::string(argv[1]) != "analyze" &&
      std::string(argv[1]) != "plan" && std::string(argv[1]) != "capture" && std::string(argv[1]) != "plot") {
    err << kProgram << ": there is no command '" << argv[1]
        << "'; the commands are measure, capture, analyze, plot and plan (" << kProgram << " --help shows them)\n";
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
    return Plan(p, out);
  } catch (const ReportError& stop) {
    out.flush();
    err << kProgram << ": " << stop.message << "\n";
    return stop.code;
  } catch (const std::exception& e) {
    // Nothing may abort the program: whatever escaped is reported as what it is.
    out.flush();
    err << kProgram << ": " << e.what() << "\n";
    return kExitUsage;
  }
}

}  // namespace qvx
