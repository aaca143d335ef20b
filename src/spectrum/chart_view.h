#pragma once
// Draws a ChartModel with Qt Charts. The model decides ranges, refusals and label
// spacing; this view only mirrors it on screen.
#include <QChartView>

#include "spectrum/chart_model.h"

class QChart;
class QGraphicsSimpleTextItem;
class QLineSeries;
class QValueAxis;

namespace qvx {

class ChartView : public QChartView {
  Q_OBJECT

 public:
  explicit ChartView(QWidget* parent = nullptr);

  // Mirrors the model; the series is only replaced when the model's revision moved.
  void Render(const ChartModel& model);

  QLineSeries* Series() const { return series_; }
  QValueAxis* LeftAxis() const { return axisY_; }
  QValueAxis* BottomAxis() const { return axisX_; }
  QString SubTitleText() const;

 private:
  void ApplyLeftAxis(const ChartModel& model);
  void ApplyBottomAxis(const ChartModel& model);

  QChart* chart_ = nullptr;
  QLineSeries* series_ = nullptr;
  QValueAxis* axisX_ = nullptr;
  QValueAxis* axisY_ = nullptr;
  QGraphicsSimpleTextItem* subtitle_ = nullptr;
  unsigned long renderedRevision_ = ~0UL;
  double dataMinY_ = 0.0;
  double dataMaxY_ = 0.0;
};

}  // namespace qvx
