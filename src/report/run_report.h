#pragma once
// What a finished measurement becomes, the same for qvx71-noise and the measurement
// window: the corrections read from their files, the analysis of the corrected spectrum,
// and the files of a run (CSV, JSON, PNG, SVG, the raw records and the 0.1-10 Hz plot).
#include <optional>
#include <string>
#include <vector>

#include "analysis/corrections.h"
#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"

namespace qvx {

enum NoiseExitCode : int {
  kExitDone = 0,
  kExitUsage = 2,
  kExitInstrument = 3,     // not reachable or not answering
  kExitData = 4,           // a malformed file, a fully clipped trace, a sweep out of time
  kExitLimit = 5,          // a log point over the limit mask
  kExitInterrupted = 130,  // Ctrl+C
};

// A failure with the exit code it means and a message that says what to do.
struct ReportError {
  int code;
  std::string message;
};
[[noreturn]] void FailReport(int code, std::string message);

// The file's bytes; a folder, a missing or unreadable file fails with kExitUsage.
std::string ReadWholeFile(const std::string& path);

// A constant gain (given or not) and the files of a run's corrections; empty names for none.
struct CorrectionFiles {
  Gain gain;
  std::string gain_file;
  std::string floor_file;
  std::string limit_file;
};

struct Corrections {
  Gain gain;
  std::optional<Floor> floor;
  std::string floor_file;
  std::optional<Curve> limit;
  std::string limit_file;
};

// Reads the files; a file that is not what it should be fails with kExitData and its line.
Corrections LoadCorrections(const CorrectionFiles& files);

struct FinishedRun {
  NoiseSpectrum spectrum;  // as corrected
  NoiseReport report;
};

// The corrections applied (the floor as given: a mismatch is the caller's to judge with
// FloorMismatch), the analysis, the floor referred to the input, the limit checked.
FinishedRun FinishRun(const NoiseSpectrum& measured, const Corrections& corrections, const AnalysisRequest& request);

struct RunFormats {
  bool csv = false, json = false, png = false, svg = false, npy = false;
};

// PREFIX.csv, .json, .png, .svg as asked; with npy and raw records PREFIX.npy (one record)
// or PREFIX.1.npy, PREFIX.2.npy, ...; with png and the 0.1-10 Hz figures PREFIX-lf.png.
// Every file is whole or untouched. Empty when all were written, else the first problem.
std::string WriteRunFiles(const FinishedRun& run, const std::string& prefix, const RunFormats& formats,
                          const std::vector<std::vector<float>>* raw);

// Why a file could not be written ("the disk is full", or the reason and what to check).
std::string WriteProblem(const std::string& path, const std::string& error);

// Writes one file whole or not at all; empty when written, else what went wrong.
std::string WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace qvx
