// The report window: RX and TX bin counts beside their captions, the DRC and cell/sector lists.
#pragma once

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

#include "stats/ReportUnit.h"

class QGroupBox;
class QLabel;
class QListWidget;

class TReportWindow final : public QWidget {
 public:
  // A top-level window centred on aOwner when shown. aOnClose runs when the user closes it.
  TReportWindow(QWidget* aOwner, std::function<void()> aOnClose);

  QLabel* Label(int aLabel) const { return FLabels.at(static_cast<size_t>(aLabel - 1)); }
  QListWidget* List(TReportList aList) const { return FLists[static_cast<int>(aList)]; }

 protected:
  void closeEvent(QCloseEvent* aEvent) override;
  void resizeEvent(QResizeEvent* aEvent) override;
  void showEvent(QShowEvent* aEvent) override;

 private:
  std::function<void()> FOnClose;
  bool FPlaced = false;
  std::array<QLabel*, kReportLabelCount> FLabels{};
  std::array<QGroupBox*, 4> FGroups{};
  std::array<QListWidget*, 2> FLists{};
};

// The logic's handle on the report window. Destroying it frees the window (deferred, so that it
// may happen from inside the window's own close handler).
class TQtReportView final : public TReportView {
 public:
  explicit TQtReportView(TReportWindow* aWindow) : FWindow(aWindow) {}
  ~TQtReportView() override;

  void SetLabelText(int aLabel, const std::string& aText) override;
  void SetListLines(TReportList aList, const std::vector<std::string>& aLines) override;
  void Show() override;

  TReportWindow* Window() const { return FWindow; }

 private:
  QPointer<TReportWindow> FWindow;
};
