#include "spectrum/chart_model.h"

#include <algorithm>
#include <utility>

namespace qvx {

void ChartModel::AddXY(double x, double y) {
  // Ascending data, the usual case, goes straight to the end.
  if (Series1.empty() || !(x < Series1.back().x)) {
    Series1.push_back({x, y});
  } else {
    auto at =
        std::upper_bound(Series1.begin(), Series1.end(), x, [](double v, const ChartPoint& p) { return v < p.x; });
    Series1.insert(at, {x, y});
  }
  ++Revision;
}

void ChartModel::ClearSeries() {
  Series1.clear();
  ++Revision;
}

void ChartModel::SetSubTitle(std::vector<std::string> lines) {
  SubTitle = std::move(lines);
  ++Revision;
}

}  // namespace qvx
