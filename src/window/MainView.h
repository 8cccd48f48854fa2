// What the main window's logic asks of the screen: the view operations a toolkit (or the
// console) implements. Nothing here knows a widget.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/MessageBoxes.h"
#include "stats/ReportUnit.h"
#include "window/SignalCharts.h"

// The main window's labels by their names on the form.
enum class TMainLabel {
  Label1,  // dial-up state under the connection list
  Label2,  // link type
  Label3,  // upload speed
  Label4,  // download speed
  Label5,  // RX
  Label6,  // cell, sector, PN
  Label7,  // TX
  Label8,  // DRC
};
inline constexpr int kMainLabelCount = 8;

// The texts the form shows before the logic writes anything.
inline constexpr std::array<const char*, kMainLabelCount> kMainLabelInitialTexts = {
    "---", "n/a", "0 Kbps", "0 Kbps", "RX: n/a", "Cell:     Sect:   Pn:", "     TX: n/a", "    RX: n/a",
};

inline const char* MainLabelName(TMainLabel aLabel) {
  static constexpr const char* kNames[] = {"Label1", "Label2", "Label3", "Label4",
                                           "Label5", "Label6", "Label7", "Label8"};
  return kNames[static_cast<int>(aLabel)];
}

// Signal icons 0..5 show that many filled bars, 6 the crossed-out bars (no device).
inline constexpr int kSignalIconCount = 7;
inline constexpr int kNoDeviceIcon = 6;

inline constexpr char kMainCaption[] = "CDMA signal quality";
// Every message box of the main window is captioned so, system-modal, with an OK button.
inline constexpr char kMessageBoxCaption[] = "telvo";
// Button1's captions; the form starts with the first.
inline constexpr char kConnectCaption[] = "Connect";
inline constexpr char kDisconnectCaption[] = "Disconnect";

// Calls come on the user-interface thread only. ShowMessageBox (from TMessageBoxes) and
// SelectModem are modal: they return when the user has answered, and the loop keeps running
// meanwhile as it does under any modal dialog.
class TMainView : public TMessageBoxes {
 public:
  virtual void SetLabelText(TMainLabel aLabel, const std::string& aText) = 0;
  // Image2: one of the kSignalIconCount icons.
  virtual void ShowSignalIcon(int aIndex) = 0;
  // StatusBar1's second panel (index 1), which carries the discovery status.
  virtual void SetStatusText(const std::string& aText) = 0;
  // Image1, the busy animation.
  virtual void SetBusyVisible(bool aVisible) = 0;

  // The modal "Select modem" dialog: one list line per modem, in order. The index of the line
  // the user marked when OK was pressed; none for Cancel, Escape or a close.
  virtual std::optional<size_t> SelectModem(const std::vector<std::string>& aLines) = 0;

  // A new, empty report window (caption "Report"), not yet shown. The logic keeps it until the
  // user closes it, then destroys it (TMainFm::ReportFormClose).
  virtual std::unique_ptr<TReportView> CreateReportView() = 0;

  // The connection panel. cbConnections is a pick-only list of the dial-up entries: refilling it
  // leaves nothing selected; index -1 means no selection. The user may change the selection
  // between calls, so the logic reads it back rather than remembering it.
  virtual void SetConnectionItems(const std::vector<std::string>& aItems) = 0;
  virtual void SelectConnection(int aIndex) = 0;
  virtual int SelectedConnection() const = 0;
  // Opens the list for the user to pick from (the window's first activation, when no connection
  // is up). The logic has just filled it: the view need not report this opening as a drop-down.
  virtual void DropDownConnections() = 0;
  virtual void RepaintConnections() = 0;
  // Button1: "Connect" or "Disconnect".
  virtual void SetButton1Caption(const std::string& aCaption) = 0;
  // One line of the ping tool. The window shows none of them; the console prints them.
  virtual void ShowPingReply(const std::string& aLine) = 0;

  // Chart2's width in pixels, read once at creation: the line histories hold half as many points.
  virtual int Chart2Width() const = 0;
  // The series changed: repaint both charts from aData. Called once at the end of every polling
  // cycle that got past the cell line, after the labels and the icon of that cycle were set.
  virtual void ChartsChanged(const TSignalChartData& aData) = 0;
};
