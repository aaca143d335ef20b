#include "spectrum/filters.h"

#include <utility>

namespace qvx {

double MoveAveFilter::Next(double x) {
  // A filter without storage has nothing to average over.
  if (Window == nullptr || Len <= 0) return Out = x;
  if (First) {
    Sum = 0.0;
    for (std::int32_t k = 0; k < Len; ++k) {
      Window[k] = x;
      Sum = Sum + x;
    }
    Out = x;
    Pos = 0;
    First = false;
    return Out;
  }
  Sum = Sum - Window[Pos];
  Sum = x + Sum;
  Window[Pos] = x;
  if (++Pos >= Len) Pos = 0;
  Out = Sum / Len;
  return Out;
}

void MoveAveFilter::Reset() {
  First = true;
  Pos = 0;
  Sum = 0.0;
  Out = 0.0;
}

double MedianFilter::Next(double x) {
  if (Window == nullptr || Sorted == nullptr || Len <= 0) return Out = x;
  if (First) {
    for (std::int32_t k = 0; k < Len; ++k) Window[k] = x;
    Pos = 0;
    First = false;
  } else {
    Window[Pos] = x;
    if (++Pos >= Len) Pos = 0;
  }
  for (std::int32_t k = 0; k < Len; ++k) Sorted[k] = Window[k];
  SortAscending(Sorted, Len);
  const std::int32_t mid = Len / 2;
  Out = (Len % 2 != 0) ? Sorted[mid] : (Sorted[mid - 1] + Sorted[mid]) * 0.5;
  return Out;
}

void MedianFilter::Reset() {
  Pos = 0;
  First = true;
  Out = 0.0;
}

void SortAscending(double* a, int n) {
  for (int i = 0; i < n - 1; ++i) {
    for (int j = 0; j < n - 1 - i; ++j) {
      if (a[j] > a[j + 1]) std::swap(a[j], a[j + 1]);
    }
  }
}

namespace {
double WindowA4[4];
double WindowA8[8];
double WindowM4[4];
double SortedM4[4];
double WindowM8[8];
double SortedM8[8];
}  // namespace

// constexpr constructors: these are constant-initialised, so they exist before
// any other static object (or main) can use them.
constinit MoveAveFilter FilterA4(WindowA4, 4);
constinit MoveAveFilter FilterA8(WindowA8, 8);
constinit MedianFilter FilterM4(WindowM4, SortedM4, 4);
constinit MedianFilter FilterM8(WindowM8, SortedM8, 8);

void ResetAllFilters() {
  FilterA4.Reset();
  FilterA8.Reset();
  FilterM4.Reset();
  FilterM8.Reset();
}

bool FilterLevel(int filterIndex, double level, double& out) {
  switch (filterIndex) {
    case 0:
      out = level;
      return true;
    case 1:
      out = FilterA4.Next(level);
      return true;
    case 2:
      out = FilterA8.Next(level);
      return true;
    case 3:
      out = FilterM4.Next(level);
      return true;
    case 4:
      out = FilterM8.Next(level);
      return true;
    default:
      return false;
  }
}

}  // namespace qvx
