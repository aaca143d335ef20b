// The estimator in-process on a record, for bench/psd_vs_scipy.py: loads FILE.npy (float32)
// once, then answers on stdin, so its runs can be interleaved with another program's:
//   run     ->  "seconds S": a new estimator over the record, pushed as a capture pushes
//               (float volts, 250 000 a time), read (fine points, 0.1-10 Hz, log points)
//   points  ->  "hz,psd,dof" lines of the last run, then "end"
//   lf      ->  "rms,pp_median,pp_max,windows" of the last run
// Usage: qvx_psd_time FILE.npy FS   (prints "ready N" once loaded)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "psd/estimator.h"
#include "psd/npy.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qvx_psd_time FILE.npy FS\n");
    return 2;
  }
  const double fs = std::atof(argv[2]);
  std::vector<float> samples;
  try {
    qvx::psd::NpyReader reader(argv[1]);
    if (reader.Columns() != 1) throw qvx::psd::NpyError(std::string(argv[1]) + ": one column wanted");
    samples.resize(reader.Rows());
    reader.Read(samples.data(), samples.size());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  std::printf("ready %zu\n", samples.size());
  std::fflush(stdout);

  std::vector<qvx::psd::FinePoint> fine;
  qvx::psd::LfNoise lf;
  for (std::string command; std::getline(std::cin, command);) {
    if (command == "run") {
      const auto started = std::chrono::steady_clock::now();
      qvx::psd::Options options;
      options.expected_samples = samples.size();
      qvx::psd::Estimator estimator(fs, options);
      for (std::size_t at = 0; at < samples.size(); at += 250000) {
        estimator.Push(samples.data() + at, std::min<std::size_t>(250000, samples.size() - at));
      }
      fine = estimator.Read();
      lf = estimator.ReadLf();
      const auto bins = qvx::psd::LogBins(fine, 10, 0.95);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      std::printf("seconds %.6f %zu\n", seconds, bins.size());
    } else if (command == "points") {
      for (const auto& p : fine) std::printf("%.17g,%.17g,%.6g\n", p.hz, p.psd, p.dof);
      std::printf("end\n");
    } else if (command == "lf") {
      std::printf("%.17g,%.17g,%.17g,%d\n", lf.rms_v, lf.pp_median_v, lf.pp_max_v, lf.windows);
    } else {
      std::fprintf(stderr, "unknown command: %s\n", command.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
