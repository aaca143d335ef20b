#pragma once
// The video filters that smooth the displayed and exported levels along the
// frequency axis. Both classes work on storage owned by the caller and never
// allocate; the four process-wide objects use static storage.
#include <cstdint>

namespace qvx {

// Running mean over the last Len inputs. The window starts filled with copies of
// the first input, so the first output is that input itself.
class MoveAveFilter {
 public:
  constexpr MoveAveFilter(double* window, int len) : Window(window), Len(len) {}

  double Next(double x);
  void Reset();

  double Out = 0.0;
  double* Window;
  std::int32_t Len;
  std::int32_t Pos = 0;
  double Sum = 0.0;  // carried from step to step, so a step costs the same for any Len
  bool First = true;
};

// Running median over the last Len inputs; for an even Len the mean of the two
// middle values.
class MedianFilter {
 public:
  constexpr MedianFilter(double* window, double* sorted, int len) : Window(window), Sorted(sorted), Len(len) {}

  double Next(double x);
  void Reset();

  double Out = 0.0;
  double* Window;
  double* Sorted;  // scratch for the sorted copy of Window
  std::int32_t Len;
  std::int32_t Pos = 0;
  bool First = true;
};

// Exchange sort of a[0..n-1], ascending. The comparison is strict: equal values
// keep their order and a pair involving NaN is left as it is.
void SortAscending(double* a, int n);

// The four filters offered by the "Vide Filter" list (indices 1..4).
extern MoveAveFilter FilterA4;
extern MoveAveFilter FilterA8;
extern MedianFilter FilterM4;
extern MedianFilter FilterM8;

// Resets FilterA4, FilterA8, FilterM4 and FilterM8, in that order.
void ResetAllFilters();

// One level through the filter chosen by the list index: 0 passes it unchanged,
// 1..4 feed FilterA4, FilterA8, FilterM4, FilterM8. Any other index yields no
// value (false, out untouched).
bool FilterLevel(int filterIndex, double level, double& out);

}  // namespace qvx
