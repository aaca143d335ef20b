#pragma once
// The cascade's shape, shared by the auto- and the cross-spectral estimators (internal):
// which stage runs at which rate, how deep it goes, and which fine point comes from where.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "psd/estimator.h"

namespace qvx::psd::detail {

// Locale-independent, as every number this program writes.
std::string Number(double v);
// Refuses a sample rate or a segment length the cascade cannot take: std::invalid_argument
// naming `who` and the parameter.
void ValidateCascade(const char* who, double fs_hz, std::size_t segment);

// The rate of stage s (0 the top).
double StageRateOf(double fs_hz, std::size_t s);
// The deepest stage, the one that holds the whole record at its own rate.
std::size_t TailStageOf(const Options& options);
// The deepest stage's shortest Welch length for `have` samples of it; its longer lengths
// double from there up to `have`.
std::size_t TailShortestLength(std::size_t segment, std::size_t have);

// The fine points Read() gives (psd 0, degrees of freedom by options.averaging) for streaming
// stages with segments[s] segments each and a deepest stage that holds tail_have samples,
// whose Welch at length L has tail_segments(L) segments. A point of stage s below
// kTailOctaveStage is bin hz / width_hz of stage s's segment; one of kTailOctaveStage + j is
// bin hz / width_hz of the deepest stage's Welch at length rate / width_hz.
std::vector<FinePoint> FineLayout(double fs_hz, const Options& options, const std::vector<std::size_t>& segments,
                                  std::size_t tail_have, const std::function<std::size_t(std::size_t)>& tail_segments);

}  // namespace qvx::psd::detail
