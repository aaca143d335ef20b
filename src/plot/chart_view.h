#pragma once
// Draws a ChartModel with Qt Charts. The model decides ranges, refusals and label
// spacing; this view only mirrors it on screen.
#include <QChartView>

#include "spectrum/chart_model.h"

class QChart;
class QGraphicsSimpleTextItem;
class QAbstractAxis;
class QLineSeries;
class QLogValueAxis;
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

  // A logarithmic bottom axis in its place: points at 0 Hz and below are left out
  // while it is on (and do not size the automatic left axis). Takes effect at the
  // next Render.
  void SetLogFrequencyAxis(bool on);
  bool LogFrequencyAxis() const { return logX_; }
  QLogValueAxis* LogBottomAxis() const { return logAxisX_; }

  // A logarithmic left axis in its place: levels at 0 and below are left out while it is
  // on. Automatic: whole decades around the data; fixed: the model's range where it is
  // positive. Takes effect at the next Render.
  void SetLogLevelAxis(bool on);
  bool LogLevelAxis() const { return logY_; }
  QLogValueAxis* LogLeftAxis() const { return logAxisY_; }

 private:
  void ApplyLeftAxis(const ChartModel& model);
  void ApplyBottomAxis(const ChartModel& model);
  void ApplyLogBottomAxis();
  // Takes `from` off the chart (the view keeps it) and puts `to` at `side`.
  void SwapAxis(QAbstractAxis* from, QAbstractAxis* to, Qt::Alignment side);

  QChart* chart_ = nullptr;
  QLineSeries* series_ = nullptr;
  QValueAxis* axisX_ = nullptr;
  QLogValueAxis* logAxisX_ = nullptr;
  QValueAxis* axisY_ = nullptr;
  QLogValueAxis* logAxisY_ = nullptr;
  bool logX_ = false;
  bool logY_ = false;
  QGraphicsSimpleTextItem* subtitle_ = nullptr;
  unsigned long renderedRevision_ = ~0UL;
  double dataMinY_ = 0.0;
  double dataMaxY_ = 0.0;
};

}  // namespace qvx
