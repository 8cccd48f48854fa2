// The main window: creation, destruction, the window's messages and what it shows.
#include "window/MainUnit.h"

#include <charconv>
#include <utility>

#include "common/WindowMessages.h"
#include "window/DisplayFormat.h"

namespace {

constexpr std::chrono::milliseconds kFindModemTimeout{2000};
constexpr std::chrono::milliseconds kInitTick{500};
constexpr std::chrono::milliseconds kPollingInterval{500};
// A ping runs for five minutes at most.
constexpr std::chrono::milliseconds kPingTimeout{300000};
// A port announced before the device manager has given it its group cannot be opened yet; the
// manager's rules take 60-130 ms on an idle desktop and several times that under load. A second
// covers that and costs a port refused for good no more than one second per arrival.
constexpr std::chrono::milliseconds kOpenRetryLimit{1000};
// How long a waiting loop rests between looks at what it waits for.
constexpr std::chrono::milliseconds kWaitSlice{20};

}  // namespace

std::string PortNameOfEntry(const std::string& aEntry) { return aEntry.substr(0, aEntry.find(' ')); }

std::optional<uint16_t> PortNumberOfName(const std::string& aName) {
  if (aName.size() <= 3) return std::nullopt;
  const char* first = aName.data() + 3;
  const char* last = aName.data() + aName.size();
  uint16_t number = 0;
  const auto [end, error] = std::from_chars(first, last, number);
  if (error != std::errc() || end != last || number == 0) return std::nullopt;
  return number;
}

TMainFm::TMainFm(TMainView& aView, TUiLoop& aLoop, TMainFmOptions aOptions)
    : FView(aView),
      FLoop(aLoop),
      FOptions(std::move(aOptions)),
      FPortTable(FOptions.PortTable ? *FOptions.PortTable : TPortTable::Instance()),
      FDecimalSeparator(UserDecimalSeparator()) {
  for (int i = 0; i < kMainLabelCount; ++i) FLabels[static_cast<size_t>(i)] = kMainLabelInitialTexts[static_cast<size_t>(i)];
  FLoop.SetMessageHandler([this](TWindowMessage& aMessage) { WndProc(aMessage); });

  FindModemTimer = FLoop.CreateTimer(kFindModemTimeout, [this] { FindModemTimerTimer(); });
  InitTimer = FLoop.CreateTimer(kInitTick, [this] { InitTimerTimer(); });
  FModemTimer = FLoop.CreateTimer(kPollingInterval, [this] { ModemTimerTimer(); });
  FOpenRetryTimer = FLoop.CreateTimer(kOpenRetryLimit, [this] {
    FOpenRetryOver = true;
    FOpenRetryTimer->SetEnabled(false);
  });
  PingTimeoutTimer = FLoop.CreateTimer(kPingTimeout, [this] { PingTimeoutTimerTimer(); });

  if (!FOptions.DialupService) FOwnDialupService = CreateEmptyDialupService();
  FXuRAS1 = std::make_unique<TXuRAS>(FOptions.DialupService ? *FOptions.DialupService : *FOwnDialupService);
  BindDialupEvents();

  FXuComPort1 = std::make_unique<TXuComPort>();
  FXuComPort1->SetPortTable(&FPortTable);
  if (FOptions.DeviceFactory) FXuComPort1->SetDeviceFactory(FOptions.DeviceFactory);
  FXuComPort1->SetBaudRate(br4800);
  FXuComPort1->SetDataBits(dbEightBits);
  FXuComPort1->SetStopBits(stbOneStopBits);
  FXuComPort1->SetParity(prNoParity);
  FXuComPort1->SetFlowControl(fcNone);
  FXuComPort1->SetDTR(false);
  FXuComPort1->SetRTS(false);
  FXuComPort1->SetEventMask(evChar);
  FXuComPort1->SetEvtChar('\x0A');
  FXuComPort1->SetEofChar('\x00');
  FXuComPort1->SetPortNumber(0);
  FXuComPort1->SetProcNumber(0);
  FXuComPort1->OnData = [this](TCustomXuComPort* aSender, uint32_t aLen) { XuComPort1Data(aSender, aLen); };
  FXuComPort1->OnError = [this](TCustomXuComPort* aSender, const std::string& aText) { XuComPort1Error(aSender, aText); };

  // FormCreate, in its order.
  if (FOptions.RegisterDeviceNotification) PDeviceNotify = FOptions.RegisterDeviceNotification(FLoop.Target());
  ShowIcon(kNoDeviceIcon);
  FModem = std::make_unique<TModem>(&FLoop.Target(), 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone,
                                    prNoParity);
  FModem->SetMessageBoxes(&FView);
  FModem->ComPort()->SetPortTable(&FPortTable);
  if (FOptions.DeviceFactory) FModem->ComPort()->SetDeviceFactory(FOptions.DeviceFactory);
  SetBusy(false);
  SetupCharts();
  FTxQuality = std::make_unique<TTxQuality>();
  FRxQuality = std::make_unique<TRxQuality>();
  FDrcQuality = std::make_unique<TDrcQuality>();
  FCellFaceQuality = std::make_unique<TCellFaceQuality>();
  FReportSender = std::make_unique<TReportSender>(FView, FLoop);
  FAutoStart = true;
  FFirstVisible = false;
  if (FOptions.StarterDelay) FStarterThread = std::make_unique<TStarterThread>(FLoop.Target(), *FOptions.StarterDelay);
}

TMainFm::~TMainFm() {
  // Tasks the threads below have posted and nobody has run yet find the window gone.
  *FAlive = false;
  // Threads first, while everything they may touch still exists.
  FStarterThread.reset();
  PingThread.reset();
  // Joins the notifier; a dial still in progress reports to nobody from here on.
  FXuRAS1.reset();
  PDeviceNotify.reset();
  FReportSender.reset();
  FXuComPort1.reset();
  FModem.reset();
  FReportFm.reset();
  FLoop.SetMessageHandler(nullptr);
}

void TMainFm::FormActivate() {
  if (FFirstVisible) return;
  FFirstVisible = true;
  // A connection made outside the program is taken over; otherwise the user is asked to pick.
  // A service still learning its lists is not asked yet: the list would be empty.
  FActivationBegun = true;
  if (FXuRAS1->ListsPending()) {
    FActivationDeferred = true;
    return;
  }
  RefreshConnections(true);
  if (!FXuRAS1->Connected()) FView.DropDownConnections();
}

void TMainFm::FormKeyDown(uint16_t) { FBreakInit = true; }

void TMainFm::FormClose() {
  // Every wait for an answer ends (a close may come from inside a search or a probe), and nothing
  // it waited for is acted on; the clean-up below waits for its threads as ever.
  FLoop.RequestClose();
  // Closing from inside "Send report"'s wait must not wait for a server that never answers.
  FReportSender->Cancel();
  StopPing();
  // The connection stays up; only its watch ends.
  FXuRAS1->StopRasNotifier();
  PumpUntilDone([this] { return !FXuRAS1->RasNotifierFinished(); });
  StopModem();
}

void TMainFm::WndProc(TWindowMessage& aMessage) {
  switch (aMessage.Msg) {
    case WM_FIND_MODEM:
      WMFindModem();
      break;
    case WM_PING_REPLY:
      WMPingReply(aMessage);
      break;
    case WM_MODEM_SECTOR:
      WMModemSector();
      break;
    case WM_DEVICECHANGE:
      WMDeviceChange(aMessage.WParam, aMessage.LParam, aMessage.Text.value_or(std::string()));
      break;
    case WM_MODEM_ERROR:
      // Not shown; the text is ours and goes now.
      aMessage.Text.reset();
      break;
    default:
      break;  // WM_MODEM_IDENTITY: nothing to do
  }
}


void TMainFm::WMModemSector() {
  const int cell = FModem->CellNumber(), sector = FModem->FaceNumber(), pn = FModem->PnNumber();
  FCellFaceQuality->AddValue(std::to_string(cell) + "-" + std::to_string(sector));
  std::string serving = std::to_string(cell) + "-" + std::to_string(sector) + "/" + std::to_string(pn);
  if (serving == FServingSector) return;
  std::string previous = std::exchange(FServingSector, serving);
  PublishEvent(TMonitorEventKind::SectorChanged, {}, std::move(previous), std::move(serving));
}

void TMainFm::FindModemTimerTimer() {
  FFindModemTimeoutEvent.Set();
}

void TMainFm::InitTimerTimer() { ++FTickCount; }

// --- the view -----------------------------------------------------------------------------

void TMainFm::SetLabel(TMainLabel aLabel, const std::string& aText) {
  std::string& shown = FLabels[static_cast<size_t>(aLabel)];
  if (aLabel == TMainLabel::Label1 && shown != aText && !aText.empty())
    PublishEvent(TMonitorEventKind::DialupState, aText);
  shown = aText;
  FView.SetLabelText(aLabel, aText);
}

void TMainFm::SetStatus(const std::string& aText) {
  FStatusText = aText;
  FView.SetStatusText(aText);
}

void TMainFm::SetBusy(bool aVisible) {
  FBusyVisible = aVisible;
  FView.SetBusyVisible(aVisible);
}

void TMainFm::ShowIcon(int aIndex) {
  FSignalIcon = aIndex;
  FView.ShowSignalIcon(aIndex);
}

void TMainFm::ShowError(const std::string& aText) { ShowBox(aText, TMessageBoxKind::Error); }

void TMainFm::ShowBox(const std::string& aText, TMessageBoxKind aKind) {
  // A modal box after the close would wait for a user who has gone, and keep the program alive.
  if (FLoop.Closing()) return;
  FView.ShowMessageBox(kMessageBoxCaption, aText, aKind);
}

void TMainFm::PostToWindow(std::function<void()> aTask) {
  FLoop.Post([alive = FAlive, task = std::move(aTask)] {
    if (*alive) task();
  });
}

void TMainFm::PumpEvents() { FLoop.ProcessMessages(); }

bool TMainFm::PumpWhile(const std::function<bool()>& aCondition) { return FLoop.PumpWhile(aCondition, kWaitSlice); }

void TMainFm::PumpUntilDone(const std::function<bool()>& aCondition) {
  FLoop.PumpWhile(aCondition, kWaitSlice, TEventPump::TWaitEnd::Done);
}
