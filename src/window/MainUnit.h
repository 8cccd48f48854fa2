// The main window's logic: finding the modem, starting and stopping it, following plug and
// unplug, the 500 ms polling cycle, the charts, the histograms, the report actions, the
// connection panel and the ping tool. It talks to the screen only through TMainView and to time
// only through TUiLoop.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/ByteString.h"
#include "common/Events.h"
#include "common/MessageTarget.h"
#include "dialup/PingThread_Unit.h"
#include "dialup/XuRas.h"
#include "protocol/Modem_Unit.h"
#include "serial/PortTable.h"
#include "serial/SerialDevice.h"
#include "serial/XuComPort.h"
#include "stats/Quality.h"
#include "stats/ReportSender.h"
#include "stats/ReportUnit.h"
#include "window/CycleSample.h"
#include "window/MainView.h"
#include "window/SignalCharts.h"
#include "window/StarterThread_Unit.h"
#include "window/UiLoop.h"

// The discovery entries ("COMn", padding, description), or none when no port is present.
using TPortEntries = std::optional<std::vector<std::string>>;

// The window's registration for port plug/unplug notifications, kept for the window's life.
class TDeviceNotifyRegistration {
 public:
  virtual ~TDeviceNotifyRegistration() = default;
};

// How the window reaches the platform. Everything has a working default but the enumeration.
struct TMainFmOptions {
  // The candidate ports with their descriptions, as port discovery lists them.
  std::function<TPortEntries()> EnumerateComPorts;
  // Resolves COM numbers to devices for the session's port, the probing port and the open test;
  // none: the program's table.
  TPortTable* PortTable = nullptr;
  // The device layer of the three; empty: POSIX.
  TSerialDeviceFactory DeviceFactory;
  // Registers for WM_DEVICECHANGE posted to the given target; empty: no notifications.
  std::function<std::unique_ptr<TDeviceNotifyRegistration>(TMessageTarget&)> RegisterDeviceNotification;
  // Delay before the first search; none: no starter thread (the caller posts WM_FIND_MODEM).
  std::optional<uint32_t> StarterDelay = 500;
  // The dial-up service of the connection panel; it must outlive the window. None: a phone book
  // without entries.
  TDialupService* DialupService = nullptr;
  // The ping's echo sender, one per ping; empty: ICMP sockets.
  std::function<std::unique_ptr<TIcmpEcho>()> EchoFactory;
  // The time stamped on samples and events; empty: the system clock.
  std::function<TWallClock::time_point()> WallClock;
};

// Status texts of the second status panel.
inline constexpr char kDeviceNotFound[] = "device not found.";
inline constexpr char kPortNotAvailable[] = "port not available: COM%d.";
inline constexpr char kFindModemStatus[] = "Find modem...";

// Texts of the connection panel and the ping tool.
inline constexpr char kSelectConnectionText[] = "Please select a modems connection.";
inline constexpr char kPingNeedsConnectionText[] = "Please select modem's connection.";
inline constexpr char kConnectedAdoptedText[] = "Connected";
inline constexpr char kDisconnectingText[] = "Disconnecting...";

class TMainFm {
 public:
  // Creation (the form's FormCreate): the view and the loop must outlive the window. The loop's
  // message handler becomes the window's until destruction.
  TMainFm(TMainView& aView, TUiLoop& aLoop, TMainFmOptions aOptions);
  // Destruction (FormDestroy): joins every thread the window started. Call FormClose first to
  // stop the modem cleanly.
  ~TMainFm();
  TMainFm(const TMainFm&) = delete;
  TMainFm& operator=(const TMainFm&) = delete;

  // --- window events ---------------------------------------------------------------------
  void FormActivate();
  // Any key: breaks a link-type probe in progress.
  void FormKeyDown(uint16_t aKey);
  // Ends every wait in progress (a search or a probe then starts no modem), stops the ping,
  // waits for the dial-up notifier to end, stops the modem (logging off, reader stopped, port
  // closed).
  void FormClose();
  // Every message posted to the loop's target comes here.
  void WndProc(TWindowMessage& aMessage);

  // --- message handlers ------------------------------------------------------------------
  void WMFindModem();
  void WMPingReply(TWindowMessage& aMessage);
  void WMModemSector();
  // aEventCode: DBT_*; aDeviceType: 3 for a port; aPortName: "COMn".
  void WMDeviceChange(uintptr_t aEventCode, intptr_t aDeviceType, const std::string& aPortName);

  // --- timers and actions -----------------------------------------------------------------
  void FindModemTimerTimer();
  void InitTimerTimer();
  void ModemTimerTimer();
  void ReportActionExecute();
  void SendReportActionExecute();
  // Starts the ping, or stops the one running.
  void PingActionExecute();
  void PingTimeoutTimerTimer();
  // The user closed the report window: it is destroyed, with its view.
  void ReportFormClose();

  // --- the connection panel ---------------------------------------------------------------
  // Refills cbConnections; with aAdopt also takes over a connection that is already up.
  void RefreshConnections(bool aAdopt);
  void cbConnectionsDropDown();
  // Takes over the entry the user chose.
  void cbConnectionsCloseUp();
  // Connects or disconnects.
  void Button1Click();

  // --- the polling cycle's pieces ----------------------------------------------------------
  void ShowSignalIcon();
  void ShowLinkSpeeds();
  std::string FormatRate(uint32_t aKbps) const;
  void FeedRxScale(float x);
  void FeedTxLine(float x);
  void FeedDrcLine1x(float x);
  void FeedDrcLineRevA(float x);
  void FeedDrcLineRevB(float x);
  void FeedDrcLine(TChartFeed aFeed, float x);

  // --- state, for the program and for tests -------------------------------------------------
  TModem& Modem() { return *FModem; }
  TXuComPort& XuComPort1() { return *FXuComPort1; }
  TReportSender& ReportSender() { return *FReportSender; }
  const std::string& LabelText(TMainLabel aLabel) const { return FLabels[static_cast<size_t>(aLabel)]; }
  int SignalIcon() const { return FSignalIcon; }
  const std::string& StatusText() const { return FStatusText; }
  bool BusyVisible() const { return FBusyVisible; }
  bool ModemTimerEnabled() const { return FModemTimer->Enabled(); }
  const std::string& ModemDescription() const { return FModemDescription; }
  bool FirstVisible() const { return FFirstVisible; }
  int32_t RXPosition() const { return FRXPosition; }
  int32_t TXPosition() const { return FTXPosition; }
  int32_t ARQPosition() const { return FARQPosition; }
  uintptr_t TXPackets() const { return nTXPackets; }
  uintptr_t TXZeroes() const { return nTXZeroes; }
  float PredDRC() const { return FPredDRC; }
  intptr_t MaxChartXPoints() const { return FMaxChartXPoints; }
  TSignalChartData ChartData() const;
  const TRxQuality& RxQuality() const { return *FRxQuality; }
  const TTxQuality& TxQuality() const { return *FTxQuality; }
  const TDrcQuality& DrcQuality() const { return *FDrcQuality; }
  const TCellFaceQuality& CellFaceQuality() const { return *FCellFaceQuality; }
  TReportFm* ReportFm() { return FReportFm.get(); }
  TXuRAS& XuRAS1() { return *FXuRAS1; }
  const std::vector<std::string>& ConnectionItems() const { return FConnectionItems; }
  const std::string& Button1Caption() const { return FButton1Caption; }
  const std::string& PrevConnectionName() const { return FPrevConnectionName; }
  bool PingRunning() const { return PingThread != nullptr; }
  bool PingTimeoutTimerEnabled() const { return PingTimeoutTimer->Enabled(); }
  // --- samples and events for the sinks ----------------------------------------------------
  // The sink must outlive the window or be removed first.
  void AddSink(TCycleSink& aSink);
  void RemoveSink(TCycleSink& aSink);
  // The last polling cycle's sample; a default one (no modem) before the first.
  const TCycleSample& LastSample() const { return FLastSample; }

  // The user's decimal separator by default.
  void SetDecimalSeparator(std::string aSeparator) { FDecimalSeparator = std::move(aSeparator); }

 private:
  // Discovery and start-up (MainStartup.cpp).
  bool FindModem(uint16_t& aPort);
  // A search another part of the window is running or waiting for (its busy indicator shows).
  bool SearchInProgress() const { return FSearching || FBusyVisible; }
  // A device change that asks for a search: aPort arrived, or none for any change. Runs the
  // search now, or leaves it to the search in progress, which takes it into account when it
  // has finished with its results.
  void SearchOnDeviceChange(std::optional<uint16_t> aPort);
  void QueueSearch(std::optional<uint16_t> aPort);
  void RunQueuedSearches();
  // Waits, for a short time, until a port that just arrived can be opened.
  void WaitUntilOpenable(uint16_t aNumber);
  // True when the port answered the status request like a modem.
  bool ProbePort(const std::string& aEntry, const TByteString& aStatusRequest);
  bool TestPortOpen(const std::string& aName);
  void SelectPort(uint16_t aPort);
  void AdoptFoundPort(uint16_t aPort);
  void StartModem();
  void ProbeLinkType();
  // One stage of the probe: true when packets decided it within five ticks.
  bool ProbeStage(std::string_view aCommand, intptr_t aThreshold, bool aKeyBreaks);
  void StopModem();
  void XuComPort1Data(TCustomXuComPort* Sender, uint32_t len);
  void XuComPort1Error(TCustomXuComPort* Sender, const std::string& aErrorMessage);

  // The view, with the window's own copy of what it shows.
  void SetLabel(TMainLabel aLabel, const std::string& aText);
  void SetStatus(const std::string& aText);
  void SetBusy(bool aVisible);
  void ShowIcon(int aIndex);
  void ShowError(const std::string& aText);
  // Every box of the window, captioned alike; none once the program is closing.
  void ShowBox(const std::string& aText, TMessageBoxKind aKind);

  // The connection panel (MainConnection.cpp). The dial-up events come on the component's
  // threads; each is handed whole to the user-interface thread, where these run.
  void XuRAS1Connect();
  void XuRAS1Disconnect();
  void XuRAS1RasDialFunction(uint32_t nMsg, TRASConnState aState, uint32_t aError);
  void XuRAS1RasError(const std::string& aText);
  // The service has learnt its lists: the first activation's look at them when it was waiting
  // for this, else a live connection is adopted as at the first activation.
  // aAfterActivation: the first activation had begun when the service told of it (else that
  // activation had its own look, and this one is stale).
  void XuRAS1ListsLearnt(bool aAfterActivation);
  void BindDialupEvents();
  void SetConnectionItems(const std::vector<std::string>& aItems);
  int IndexOfConnection(const std::string& aName) const;
  std::string SelectedConnectionText() const;
  void SetButton1(const std::string& aCaption);
  void ShowRefusal(const std::string& aText);

  // The ping tool (MainPing.cpp).
  void StartPing();
  void StopPing();
  void PingDone();

  // Any thread: runs aTask on the user-interface thread, after what was posted before it, unless
  // the window has gone by then.
  void PostToWindow(std::function<void()> aTask);

  // Samples and events (MainSamples.cpp).
  void PublishSample(float aRx, float aTx, float aDrc, bool aNoData);
  void PublishEvent(TMonitorEventKind aKind, std::string aText, std::string aFrom = {}, std::string aTo = {},
                    std::optional<uint32_t> aRoundTripMs = std::nullopt);
  TWallClock::time_point WallNow() const;

  void SetupCharts();
  // One pass over the window's events, and the one waiting loop (TEventPump::PumpWhile): a wait
  // for an answer, false when the program is closing; and a clean-up wait, which is not.
  void PumpEvents();
  bool PumpWhile(const std::function<bool()>& aCondition);
  void PumpUntilDone(const std::function<bool()>& aCondition);

  TMainView& FView;
  TUiLoop& FLoop;
  TMainFmOptions FOptions;
  TPortTable& FPortTable;
  std::string FDecimalSeparator;

  // What the view shows.
  std::array<std::string, kMainLabelCount> FLabels;
  int FSignalIcon = kNoDeviceIcon;
  std::string FStatusText;
  bool FBusyVisible = false;

  bool FFirstVisible = false;
  std::unique_ptr<TModem> FModem;
  std::unique_ptr<TXuComPort> FXuComPort1;
  // The probe answer: written by XuComPort1's reader thread, read here after the data event.
  std::mutex FInitResponseLock;
  TByteString FInitResponse;
  TAutoResetEvent FModemDataEvent;
  TAutoResetEvent FFindModemTimeoutEvent;
  std::atomic<bool> FFindModemError{false};
  std::string FModemDescription;
  std::vector<std::string> FFindComportsList;
  // From FindModem's first step to its return, its waits included.
  bool FSearching = false;
  // Device changes that came during a search: which arrived ports a search may take (any, after
  // a node change), and whether one more search is due.
  struct TQueuedSearch {
    bool Due = false;
    bool AnyPort = false;
    std::set<uint16_t> Ports;
  };
  TQueuedSearch FQueuedSearch;
  bool FOpenRetryOver = false;
  std::unique_ptr<TDeviceNotifyRegistration> PDeviceNotify;
  bool FAutoStart = false;
  bool FBreakInit = false;
  uintptr_t nTXPackets = 0;
  uintptr_t nTXZeroes = 0;
  intptr_t FTickCount = 0;
  intptr_t FMaxChartXPoints = 0;
  float FPredDRC = 0;
  ::EvdoMultiCarrierSingleForward EvdoBForward;
  ::EvdoMultiCarrierSingleReverse EvdoBReverse;
  ::TEvdoAForward EvdoAForward;
  ::TEvdoAReverse EvdoAReverse;
  int32_t FRXPosition = 0;
  int32_t FTXPosition = 0;
  int32_t FARQPosition = 0;
  std::unique_ptr<TTxQuality> FTxQuality;
  std::unique_ptr<TRxQuality> FRxQuality;
  std::unique_ptr<TDrcQuality> FDrcQuality;
  std::unique_ptr<TCellFaceQuality> FCellFaceQuality;

  // The charts' series.
  std::unique_ptr<TChartHistory> TxLineSeries;
  std::unique_ptr<TChartHistory> DrcLineSeries;
  double FRxBarValue = 1;

  // What the link-speed labels show, in kbit/s.
  uint32_t FUpKbps = 0;
  uint32_t FDownKbps = 0;
  std::vector<TCycleSink*> FSinks;
  TCycleSample FLastSample;
  std::string FServingSector;  // "cell-sector/pn" of the last sector message

  std::unique_ptr<TUiTimer> FindModemTimer;
  std::unique_ptr<TUiTimer> InitTimer;
  std::unique_ptr<TUiTimer> FModemTimer;
  std::unique_ptr<TUiTimer> FOpenRetryTimer;

  // The connection panel: what cbConnections lists and Button1 reads.
  std::unique_ptr<TDialupService> FOwnDialupService;  // when none was given
  std::unique_ptr<TXuRAS> FXuRAS1;
  std::string FPrevConnectionName;
  std::vector<std::string> FConnectionItems;
  std::string FButton1Caption = kConnectCaption;
  // The first activation found the service still learning its lists and left its look at them
  // to XuRAS1ListsLearnt.
  bool FActivationDeferred = false;
  std::atomic<bool> FActivationBegun{false};
  // The component reports most errors on the thread that calls it, which is this one.
  const std::thread::id FWindowThread = std::this_thread::get_id();

  // The ping tool. PingThread is set from StartPing until PingDone has run.
  std::unique_ptr<TPingThread> PingThread;
  std::unique_ptr<TUiTimer> PingTimeoutTimer;

  // False once the window is being destroyed: tasks still queued then do nothing. Read and
  // written on the user-interface thread only; other threads only copy the pointer.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);

  std::unique_ptr<TReportFm> FReportFm;
  std::unique_ptr<TReportSender> FReportSender;
  std::unique_ptr<TStarterThread> FStarterThread;  // last: it may post as soon as it exists
};

// A dial-up service with an empty phone book and no connections.
std::unique_ptr<TDialupService> CreateEmptyDialupService();

// "COM12    description" -> "COM12"; the text before the first space.
std::string PortNameOfEntry(const std::string& aEntry);
// "COM12" -> 12: the decimal number from the fourth character on; none when that is not a
// number of 1..65535.
std::optional<uint16_t> PortNumberOfName(const std::string& aName);
