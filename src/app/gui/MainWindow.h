// The main window "CDMA signal quality" on Qt Widgets: the view the window logic (TMainFm)
// writes to, and the source of the user's actions it handles.
#pragma once

#include <QMainWindow>
#include <QPixmap>
#include <QPointer>

#include <array>
#include <cstdint>
#include <functional>

#include "window/MainView.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QMovie;
class QPushButton;
class QToolButton;
class TReportWindow;
class TRxScaleChart;
class THistoryChart;

// What the window tells the logic. Every call comes on the user-interface thread.
struct TMainWindowEvents {
  std::function<void()> OnActivate;             // FormActivate, at every activation
  std::function<void(uint16_t)> OnKeyDown;      // FormKeyDown: any key, before the focused control
  std::function<void()> OnClose;                // FormClose, before the window goes
  std::function<void()> OnPing;                 // PingAction
  std::function<void()> OnReport;               // ReportAction
  std::function<void()> OnSendReport;           // SendReportAction
  std::function<void()> OnReportClosed;         // the user closed the report window
  std::function<void()> OnConnectionsDropDown;  // cbConnectionsDropDown: the list is about to open
  std::function<void()> OnConnectionsCloseUp;   // cbConnectionsCloseUp: the list has closed
  std::function<void()> OnButton1Click;         // Button1Click
  std::function<void()> OnAlignment;            // the key A or the context menu: the Alignment window
};

class TMainWindow final : public QMainWindow, public TMainView {
 public:
  // Builds the form at its design size; the application's style must already be applied.
  TMainWindow();
  ~TMainWindow() override;

  void SetEvents(TMainWindowEvents aEvents) { FEvents = std::move(aEvents); }

  // TMainView.
  void SetLabelText(TMainLabel aLabel, const std::string& aText) override;
  void ShowSignalIcon(int aIndex) override;
  void SetStatusText(const std::string& aText) override;
  void SetBusyVisible(bool aVisible) override;
  std::optional<size_t> SelectModem(const std::vector<std::string>& aLines) override;
  std::unique_ptr<TReportView> CreateReportView() override;
  int Chart2Width() const override;
  void ChartsChanged(const TSignalChartData& aData) override;
  void ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind aKind) override;
  void SetConnectionItems(const std::vector<std::string>& aItems) override;
  void SelectConnection(int aIndex) override;
  int SelectedConnection() const override;
  // The logic has just filled the list: opening it here reports no drop-down back.
  void DropDownConnections() override;
  void RepaintConnections() override;
  void SetButton1Caption(const std::string& aCaption) override;
  // The window shows no ping line.
  void ShowPingReply(const std::string&) override {}

  // The widgets, for the program and for tests.
  QLabel* Label(TMainLabel aLabel) const { return FLabels[static_cast<size_t>(aLabel)]; }
  int SignalIconIndex() const { return FSignalIcon; }
  QLabel* SignalImage() const { return FImage2; }
  QLabel* BusyImage() const { return FImage1; }
  QMovie* BusyMovie() const { return FBusyMovie; }
  QLabel* StatusPanel(int aIndex) const { return FStatusPanels.at(static_cast<size_t>(aIndex)); }
  TRxScaleChart* Chart1() const { return FChart1; }
  THistoryChart* Chart2() const { return FChart2; }
  QToolButton* ToolButton(int aNumber) const { return FToolButtons.at(static_cast<size_t>(aNumber - 1)); }
  QMenu* ShowReportPopupMenu() const { return FReportMenu; }
  QComboBox* Connections() const { return FConnections; }
  QPushButton* ConnectButton() const { return FConnect; }
  QAction* AlignmentAction() const { return FAlignmentAction; }
  // The open report window, if any.
  TReportWindow* ReportWindow() const;
  const QPixmap& SignalIcon(int aIndex) const { return FSignalIcons.at(static_cast<size_t>(aIndex)); }

 protected:
  bool eventFilter(QObject* aWatched, QEvent* aEvent) override;
  bool event(QEvent* aEvent) override;
  void closeEvent(QCloseEvent* aEvent) override;
  void showEvent(QShowEvent* aEvent) override;

 private:
  QWidget* BuildTopBand();
  QWidget* BuildValueRow();
  QWidget* BuildCharts();
  QWidget* BuildBottomBand();
  void BuildStatusBar();

  TMainWindowEvents FEvents;
  bool FPlaced = false;
  std::array<QLabel*, kMainLabelCount> FLabels{};
  std::array<QPixmap, kSignalIconCount> FSignalIcons;
  int FSignalIcon = kNoDeviceIcon;
  std::array<QToolButton*, 3> FToolButtons{};
  QMenu* FReportMenu = nullptr;
  QComboBox* FConnections = nullptr;
  QPushButton* FConnect = nullptr;
  QLabel* FImage1 = nullptr;
  QMovie* FBusyMovie = nullptr;
  QLabel* FImage2 = nullptr;
  TRxScaleChart* FChart1 = nullptr;
  THistoryChart* FChart2 = nullptr;
  std::array<QLabel*, 2> FStatusPanels{};
  QPointer<TReportWindow> FReportWindow;
  QAction* FAlignmentAction = nullptr;
};
