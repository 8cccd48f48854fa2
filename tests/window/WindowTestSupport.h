// Test doubles for the window: a view that records what the logic shows, a report view, and a
// pseudo-terminal standing in for a serial port.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "window/MainView.h"

class TRecordingReportView final : public TReportView {
 public:
  explicit TRecordingReportView(bool* aAlive = nullptr) : FAlive(aAlive) {
    if (FAlive) *FAlive = true;
  }
  ~TRecordingReportView() override {
    if (FAlive) *FAlive = false;
  }
  void SetLabelText(int aLabel, const std::string& aText) override { Labels.at(static_cast<size_t>(aLabel - 1)) = aText; }
  void SetListLines(TReportList aList, const std::vector<std::string>& aLines) override {
    Lists[static_cast<size_t>(aList)] = aLines;
    ++ListUpdates;
  }
  void Show() override { ++Shows; }

  std::array<std::string, kReportLabelCount> Labels;
  std::array<std::vector<std::string>, 2> Lists;
  int ListUpdates = 0;
  int Shows = 0;

 private:
  bool* FAlive;
};

struct TBox {
  std::string Caption, Text;
  TMessageBoxKind Kind;
  bool operator==(const TBox&) const = default;
};

class TRecordingView final : public TMainView {
 public:
  TRecordingView() {
    for (size_t i = 0; i < Labels.size(); ++i) Labels[i] = kMainLabelInitialTexts[i];
  }

  void SetLabelText(TMainLabel aLabel, const std::string& aText) override {
    Note();
    Labels[static_cast<size_t>(aLabel)] = aText;
    if (aLabel == TMainLabel::Label1) Panel.push_back("dialup: " + aText);
  }
  void ShowSignalIcon(int aIndex) override { Icon = aIndex; }
  void SetStatusText(const std::string& aText) override { Statuses.push_back(aText); }
  void SetBusyVisible(bool aVisible) override {
    Busy = aVisible;
    if (OnBusy) OnBusy(aVisible);
  }
  void ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind aKind) override {
    Note();
    Boxes.push_back({aCaption, aText, aKind});
    Panel.push_back("box: " + aText);
  }
  std::optional<size_t> SelectModem(const std::vector<std::string>& aLines) override {
    Questions.push_back(aLines);
    return Answer ? Answer(aLines) : std::nullopt;
  }
  std::unique_ptr<TReportView> CreateReportView() override {
    ++ReportViewsMade;
    auto view = std::make_unique<TRecordingReportView>(&ReportAlive);
    Report = view.get();
    return view;
  }
  int Chart2Width() const override { return kDesignChart2Width; }
  void ChartsChanged(const TSignalChartData& aData) override {
    ++Repaints;
    Charts = aData;
  }

  void SetConnectionItems(const std::vector<std::string>& aItems) override {
    Note();
    Items = aItems;
    Selected = -1;
  }
  void SelectConnection(int aIndex) override {
    Note();
    Selected = aIndex;
  }
  int SelectedConnection() const override { return Selected; }
  void DropDownConnections() override {
    Note();
    ++DropDowns;
  }
  void RepaintConnections() override {
    Note();
    ++ComboRepaints;
  }
  void SetButton1Caption(const std::string& aCaption) override {
    Note();
    Button1 = aCaption;
    Panel.push_back("button: " + aCaption);
  }
  void ShowPingReply(const std::string& aLine) override {
    Note();
    PingLines.push_back(aLine);
  }
  // Picks an entry by name as the user would in the list; false when it is not listed.
  bool Pick(const std::string& aName) {
    for (size_t i = 0; i < Items.size(); ++i)
      if (Items[i] == aName) {
        Selected = static_cast<int>(i);
        return true;
      }
    return false;
  }

  const std::string& Label(TMainLabel aLabel) const { return Labels[static_cast<size_t>(aLabel)]; }
  std::string Status() const { return Statuses.empty() ? std::string() : Statuses.back(); }

  std::array<std::string, kMainLabelCount> Labels;
  int Icon = -1;
  std::vector<std::string> Statuses;
  bool Busy = false;
  std::function<void(bool)> OnBusy;
  std::vector<TBox> Boxes;
  std::vector<std::vector<std::string>> Questions;
  std::function<std::optional<size_t>(const std::vector<std::string>&)> Answer;
  int Repaints = 0;
  TSignalChartData Charts;
  int ReportViewsMade = 0;
  bool ReportAlive = false;
  TRecordingReportView* Report = nullptr;  // valid while ReportAlive

  // The connection panel.
  std::vector<std::string> Items;
  int Selected = -1;
  int DropDowns = 0;
  int ComboRepaints = 0;
  std::string Button1 = kConnectCaption;
  std::vector<std::string> PingLines;
  // Label1, Button1 and the message boxes in the order they were shown: "dialup: TEXT",
  // "button: CAPTION", "box: TEXT".
  std::vector<std::string> Panel;
  // Calls that came on another thread than the one that made the view.
  int OffThreadCalls = 0;

 private:
  void Note() {
    if (std::this_thread::get_id() != FUiThread) ++OffThreadCalls;
  }
  const std::thread::id FUiThread = std::this_thread::get_id();
};

// A pseudo-terminal whose slave is the port; the master stays open so that the port is usable.
class TTestPty {
 public:
  TTestPty() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) std::abort();
    char name[128] = {};
    if (ptsname_r(FMaster, name, sizeof name) != 0) std::abort();
    Path = name;
  }
  ~TTestPty() {
    if (FMaster >= 0) close(FMaster);
  }
  TTestPty(const TTestPty&) = delete;
  TTestPty& operator=(const TTestPty&) = delete;
  int Master() const { return FMaster; }

  std::string Path;

 private:
  int FMaster = -1;
};
