// The main window drawn as lines of text: one line per polling cycle, status changes, message
// boxes, the "Select modem" question, the report window's contents and the connection panel.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "window/MainView.h"
#include "window/UiLoop.h"

class TConsoleReportView;

// Everything is written on the user-interface thread, a flushed line at a time.
class TConsoleView final : public TMainView {
 public:
  // The loop keeps running while the "Select modem" question waits for its answer.
  TConsoleView(std::ostream& aOut, TUiLoop& aLoop);
  ~TConsoleView() override;

  void SetLabelText(TMainLabel aLabel, const std::string& aText) override;
  void ShowSignalIcon(int aIndex) override;
  void SetStatusText(const std::string& aText) override;
  void SetBusyVisible(bool aVisible) override;
  void ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind aKind) override;
  std::optional<size_t> SelectModem(const std::vector<std::string>& aLines) override;
  std::unique_ptr<TReportView> CreateReportView() override;
  int Chart2Width() const override { return kDesignChart2Width; }
  void ChartsChanged(const TSignalChartData& aData) override;
  // The connection panel: "dialup: " and Label1's text, "button: " and Button1's caption, each
  // when it changes; "ping: " and each ping line; the list as PrintConnections writes it when it
  // is dropped down.
  void SetConnectionItems(const std::vector<std::string>& aItems) override;
  void SelectConnection(int aIndex) override;
  int SelectedConnection() const override { return FSelected; }
  void DropDownConnections() override { PrintConnections(); }
  void RepaintConnections() override {}
  void SetButton1Caption(const std::string& aCaption) override;
  void ShowPingReply(const std::string& aLine) override;

  // "entries: N", then "entry: NAME" for each entry in order, then "selected: NAME" when one is
  // selected.
  void PrintConnections();
  // Selects the entry named exactly aName, as a pick in the list would; false when it is not
  // listed (the selection is then left alone).
  bool SelectConnectionNamed(const std::string& aName);

  // A typed line: true when it answered the question in progress (it is then no command).
  bool OfferLine(const std::string& aLine);
  // No more lines will come: a question in progress is cancelled (as it is by the loop's close).
  void InputEnded();

  // The report window's captions, counts and lists as it shows them; false when none is open.
  bool PrintReport();
  // "Label5 | Label6 | Label7 | Label8 | Label2 | Label3 | Label4 | icon N".
  std::string CycleLine() const;
  void WriteLine(const std::string& aLine);

 private:
  friend class TConsoleReportView;

  std::ostream& FOut;
  TUiLoop& FLoop;
  std::array<std::string, kMainLabelCount> FLabels;
  int FIcon = kNoDeviceIcon;
  std::optional<std::string> FStatus;
  bool FBusy = false;
  std::vector<std::string> FConnections;
  int FSelected = -1;
  std::string FButton1 = kConnectCaption;

  bool FAsking = false;
  size_t FChoices = 0;
  std::optional<std::optional<size_t>> FAnswer;  // set once the question is answered
  bool FInputEnded = false;

  TConsoleReportView* FReport = nullptr;  // the open report window, owned by the logic
};
