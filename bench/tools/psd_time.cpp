// Times the estimator over a .npy record and prints its fine points, for bench/psd_vs_scipy.py:
//   qvx_psd_time FILE.npy FS   ->   "seconds S" on stderr, "hz,psd,dof" lines on stdout
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "psd/estimator.h"
#include "psd/npy.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qvx_psd_time FILE.npy FS\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const qvx::psd::NpyRead read = qvx::psd::ReadNpy(bytes);
  if (!read.ok()) {
    std::fprintf(stderr, "%s\n", read.error.c_str());
    return 2;
  }
  // As a capture gets it: float samples in chunks of 250 000.
  std::vector<float> samples(read.samples.begin(), read.samples.end());
  const auto started = std::chrono::steady_clock::now();
  qvx::psd::Options options;
  options.expected_samples = samples.size();
  qvx::psd::Estimator estimator(std::atof(argv[2]), options);
  for (std::size_t at = 0; at < samples.size(); at += 250000) {
    estimator.Push(samples.data() + at, std::min<std::size_t>(250000, samples.size() - at));
  }
  const auto fine = estimator.Read();
  const auto bins = qvx::psd::LogBins(fine, 10, 0.95);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::fprintf(stderr, "seconds %.4f\n", seconds);
  for (const auto& p : fine) std::printf("%.17g,%.17g,%.6g\n", p.hz, p.psd, p.dof);
  return bins.empty() ? 1 : 0;
}
