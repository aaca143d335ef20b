#pragma once
// What a finished measurement becomes, the same for qvx71-noise and the measurement
// window: the corrections read from their files, the analysis of the corrected spectrum,
// and the files of a run (CSV, JSON, images, the raw records and the 0.1-10 Hz figure),
// written as one set. No Qt: the images come from a RunImages the program hands in.
#include <optional>
#include <string>
#include <vector>

#include "analysis/corrections.h"
#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"

namespace qvx {

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

// Reads the files; one that cannot be read throws RunError(kUsage), one that is not what it
// should be RunError(kData) with its line.
Corrections LoadCorrections(const CorrectionFiles& files);

struct FinishedRun {
  NoiseSpectrum spectrum;  // as corrected
  NoiseReport report;
};

// The corrections applied (the floor as given: a mismatch is the caller's to judge with
// FloorMismatch), the analysis, the floor referred to the input, the limit checked.
FinishedRun FinishRun(const NoiseSpectrum& measured, const Corrections& corrections, const AnalysisRequest& request);
// The same, taking the measured spectrum over (no copy of a spectrum of millions of points).
FinishedRun FinishRun(NoiseSpectrum&& measured, const Corrections& corrections, const AnalysisRequest& request);

struct RunFormats {
  bool csv = false, json = false, png = false, svg = false, npy = false;
};

// The images of a run, drawn by the program's chart adapter.
class RunImages {
 public:
  virtual ~RunImages() = default;
  // The spectrum into `path`, PNG or SVG by its extension; empty when drawn, else the problem.
  virtual std::string Spectrum(const FinishedRun& run, const std::string& path) const = 0;
  // The first 10 s window of the 0.1-10 Hz figure (input-referred) into a PNG.
  virtual std::string LowFrequency(const FinishedRun& run, const std::string& path) const = 0;
  // The Allan deviation with its intervals and what the fitted density predicts.
  virtual std::string AllanDeviation(const FinishedRun& run, const std::string& path) const = 0;
  // The record in time as an envelope with the burst levels, and its histogram beside it.
  virtual std::string TimeRecord(const FinishedRun& run, const std::string& path) const = 0;
};

// A raw record already on disk (written as it was read), to join the set under its name.
struct RecordFile {
  std::string path;
  bool move = false;  // taken into the set, or copied (the window saves the same run twice)
};

struct WrittenFiles {
  std::vector<std::string> paths;
  std::string problem;  // empty when every file was written
};

// PREFIX.csv, .json, .png, .svg as asked; with png and the 0.1-10 Hz figure PREFIX-lf.png,
// and with csv PREFIX-lf.csv (time_s,uv); with a time record PREFIX-adev.csv (csv), and
// PREFIX-adev.png and PREFIX-time.png (png); with npy the records as PREFIX.npy (one record) or
// PREFIX.1.npy, PREFIX.2.npy, ... Every file goes to a temporary name first; only when all
// are written are they renamed over the old ones, and the record files of the same prefix
// that this run does not write are removed. A failure leaves the earlier set whole.
// The CSV and the JSON as they were written once (a stored run's), to write again as they are.
struct RunDocuments {
  std::string csv;
  std::string json;
};
WrittenFiles WriteRunFiles(const FinishedRun& run, const std::string& prefix, const RunFormats& formats,
                           const std::vector<RecordFile>& records, const RunImages* images,
                           const RunDocuments* documents = nullptr);

// The names of the record files of a run of `count` records under `prefix`.
std::vector<std::string> RecordFileNames(const std::string& prefix, std::size_t count);

// The filtered 0.1-10 Hz window as text: "time_s,uv" lines (input-referred once corrected).
std::string LfCsvText(const LfFigures& lf);

}  // namespace qvx
