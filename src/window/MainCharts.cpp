// The main window's charts: the histories behind Chart2's lines and Chart1's RX bar, fed by the
// polling cycle.
#include "window/MainUnit.h"

void TMainFm::SetupCharts() {
  // Computed once: the histories keep their length even if the chart is resized.
  FMaxChartXPoints = FView.Chart2Width() / 2;
  if (FMaxChartXPoints < 0) FMaxChartXPoints = 0;
  TxLineSeries = std::make_unique<TChartHistory>(static_cast<size_t>(FMaxChartXPoints));
  DrcLineSeries = std::make_unique<TChartHistory>(static_cast<size_t>(FMaxChartXPoints));
  FRxBarValue = 1;
}

TSignalChartData TMainFm::ChartData() const {
  return TSignalChartData{TxLineSeries->Values(), DrcLineSeries->Values(), FRxBarValue};
}

void TMainFm::FeedRxScale(float x) {
  const TChartPoint point = ChartPoint(TChartFeed::RxScale, x);
  FRXPosition = point.PositionClass;
  FRxBarValue = point.Value;
}

void TMainFm::FeedTxLine(float x) {
  const TChartPoint point = ChartPoint(TChartFeed::TxLine, x);
  FTXPosition = point.PositionClass;
  TxLineSeries->Append(point.Value);
}

void TMainFm::FeedDrcLine1x(float x) { FeedDrcLine(TChartFeed::DrcLine1x, x); }
void TMainFm::FeedDrcLineRevA(float x) { FeedDrcLine(TChartFeed::DrcLineRevA, x); }
void TMainFm::FeedDrcLineRevB(float x) { FeedDrcLine(TChartFeed::DrcLineRevB, x); }

void TMainFm::FeedDrcLine(TChartFeed aFeed, float x) {
  const TChartPoint point = ChartPoint(aFeed, x);
  FARQPosition = point.PositionClass;
  DrcLineSeries->Append(point.Value);
}
