#pragma once
// What a two-channel measurement adds to its spectrum: per log point, each channel's own
// density and the statistics of the cross-spectrum; for the run, how far the averaging got.
// The spectrum's points are the circuit's density sqrt(Re Sxy / (g1 g2)), one per log point.
#include <cstddef>
#include <vector>

namespace qvx {

// One point of a cross-spectrum, beside its NoisePoint (same index). Densities in
// nV/sqrt(Hz), input-referred.
struct CrossPointFigures {
  double ch1_nv = 0.0;  // channel 1's own density (its gain, its converter's floor out)
  double ch2_nv = 0.0;
  double floor_nv = 0.0;  // the statistical floor: what the averages so far can resolve
  double im_nv = 0.0;     // sign(Im Sxy) sqrt(|Im Sxy| / (g1 g2))
  double coherence = 0.0;
  double ci_lo_nv = 0.0;  // 95 % interval of the circuit's density (0 at or below zero)
  double ci_hi_nv = 0.0;  // ... whose upper end is a U point's only figure
  double averages = 0.0;  // m
  // The degrees of freedom a power of the same relative variance would have,
  // 2 Re^2 / Var(Re): what a fit or a band weighs the point by.
  double equivalent_dof = 0.0;
  double seconds_to_resolve = 0.0;  // recording a U point still needs; +inf when Re <= 0
  bool collapse = false;            // Re Sxy below zero beyond 3 sigma
  bool phase = false;               // |Im Sxy| beyond 3 sigma
};

// Channel 2 of one record (channel 1's is the record's own RecordInfo).
struct SecondChannelInfo {
  double scale = 0.0;
  double offset = 0.0;
  int clipped_points = 0;
  double converter_floor_nv = 0.0;
};

struct CrossFigures {
  double gain1 = 1.0;
  double gain2 = 1.0;
  double from_hz = 0.0;  // the range asked for
  double to_hz = 0.0;
  std::size_t records = 0;
  double seconds = 0.0;          // of recording, both channels at once
  double averages_lowest = 0.0;  // m of the lowest point, the fewest
  double averages_highest = 0.0;
  double floor_drop_db = 0.0;       // the floor after the first record over the floor now (median of the points)
  int unresolved_points = 0;        // U
  double seconds_to_resolve = 0.0;  // the longest a U point needs; +inf when one never will at this rate
  int collapse_points = 0;
  int phase_points = 0;
  // The 0.1-10 Hz figure from the circuit's density weighted by the filter; not known (NaN)
  // when the range starts above 10 Hz.
  double lf_psd_rms_nv = 0.0;
  bool lf_covered = false;                  // the density reaches down to 0.1 Hz
  std::vector<SecondChannelInfo> channel2;  // one per record
};

}  // namespace qvx
