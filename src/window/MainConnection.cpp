// The main window's connection panel: the list of dial-up entries, the Connect/Disconnect button,
// the dial progress line, and taking over a connection that is already up.
#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include "window/MainUnit.h"

namespace {

// A phone book without entries, for a window that was given no dial-up service.
class TEmptyDialupService final : public TDialupService {
 public:
  uint32_t EnumEntries(std::vector<std::string>& aNames) override {
    aNames.clear();
    return RAS_SUCCESS;
  }
  uint32_t EnumConnections(std::vector<TRasConnection>& aConnections) override {
    aConnections.clear();
    return RAS_SUCCESS;
  }
  uint32_t FindEntry(const std::string&) override { return RAS_ERR_ENTRY_NOT_FOUND; }
  uint32_t GetEntryProperties(const std::string&, TRasEntry&) override { return RAS_ERR_ENTRY_NOT_FOUND; }
  uint32_t SetEntryProperties(const std::string&, const TRasEntry&) override { return RAS_ERR_ENTRY_NOT_FOUND; }
  uint32_t GetEntryDialParams(TRasDialParams&, bool&) override { return RAS_ERR_ENTRY_NOT_FOUND; }
  uint32_t Dial(const TRasDialParams&, TRasDialCallback, TRasHandle&) override { return RAS_ERR_ENTRY_NOT_FOUND; }
  uint32_t HangUp(TRasHandle, TRasHangUpRefused) override { return RAS_ERR_INVALID_HANDLE; }
  uint32_t ConnectionNotification(TRasHandle, std::function<void()>, TRasNotificationId&) override {
    return RAS_ERR_INVALID_HANDLE;
  }
  void RemoveConnectionNotification(TRasNotificationId) override {}
  uint32_t GetErrorString(uint32_t aCode, std::string& aText) override {
    return DialupErrorText(aCode, aText) ? 0 : EINVAL;
  }
  uint32_t GetPeerAddress(TRasHandle, std::string&) override { return RAS_ERR_INVALID_HANDLE; }
};

}  // namespace

std::unique_ptr<TDialupService> CreateEmptyDialupService() { return std::make_unique<TEmptyDialupService>(); }

void TMainFm::BindDialupEvents() {
  // The window calls the component on its own thread only, so errors arrive here directly, but
  // for a hang-up refused later, which comes on the service's thread.
  FXuRAS1->SetOnRasError([this](const std::string& aText) {
    if (std::this_thread::get_id() == FWindowThread)
      XuRAS1RasError(aText);
    else
      PostToWindow([this, aText] { XuRAS1RasError(aText); });
  });
  FXuRAS1->SetOnListsLearnt([this](TXuCustomRas*) {
    const bool afterActivation = FActivationBegun.load();
    PostToWindow([this, afterActivation] { XuRAS1ListsLearnt(afterActivation); });
  });
  // The others come on the service's and the notifier's threads, which must never wait for us:
  // each event is posted with its values, and the posts keep the order the events came in.
  FXuRAS1->SetOnConnect([this](TXuCustomRas*) { PostToWindow([this] { XuRAS1Connect(); }); });
  FXuRAS1->SetOnRasDialFunction([this](uint32_t nMsg, TRASConnState aState, uint32_t aError) {
    PostToWindow([this, nMsg, aState, aError] { XuRAS1RasDialFunction(nMsg, aState, aError); });
  });
  FXuRAS1->SetOnDisconnect([this](TXuCustomRas*) { PostToWindow([this] { XuRAS1Disconnect(); }); });
}

// --- the view ---------------------------------------------------------------------------------

void TMainFm::SetConnectionItems(const std::vector<std::string>& aItems) {
  FConnectionItems = aItems;
  FView.SetConnectionItems(aItems);
}

int TMainFm::IndexOfConnection(const std::string& aName) const {
  const auto it = std::find(FConnectionItems.begin(), FConnectionItems.end(), aName);
  return it == FConnectionItems.end() ? -1 : static_cast<int>(it - FConnectionItems.begin());
}

std::string TMainFm::SelectedConnectionText() const {
  const int index = FView.SelectedConnection();
  if (index < 0 || static_cast<size_t>(index) >= FConnectionItems.size()) return {};
  return FConnectionItems[static_cast<size_t>(index)];
}

void TMainFm::SetButton1(const std::string& aCaption) {
  FButton1Caption = aCaption;
  FView.SetButton1Caption(aCaption);
}

void TMainFm::ShowRefusal(const std::string& aText) {
  ShowBox(aText, TMessageBoxKind::Warning);
}

// --- the panel --------------------------------------------------------------------------------

void TMainFm::RefreshConnections(bool aAdopt) {
  const std::string remembered = SelectedConnectionText();
  SetConnectionItems(FXuRAS1->EnumRasEntriesNames());
  if (aAdopt) {
    const TStringDynArray active = FXuRAS1->EnumRasConnectionsNames();
    if (active.empty()) return;
    const std::string& name = active.front();
    const int index = IndexOfConnection(name);
    FView.SelectConnection(index);
    PumpEvents();
    if (index < 0) return;
    bool adopted = false;
    try {
      adopted = FXuRAS1->UseConnection(name);
    } catch (const EXuRasError& e) {
      ShowRefusal(e.what());  // a connection of ours is up already
    }
    if (!adopted) return;
    FPrevConnectionName = FXuRAS1->EntryName();
    FXuRAS1->SetConnected(true);
    SetLabel(TMainLabel::Label1, kConnectedAdoptedText);
    SetButton1(kDisconnectCaption);
    PumpEvents();
  } else if (!remembered.empty()) {
    FView.SelectConnection(IndexOfConnection(remembered));
  }
}

void TMainFm::cbConnectionsDropDown() { RefreshConnections(false); }

void TMainFm::cbConnectionsCloseUp() {
  if (FView.SelectedConnection() < 0) return;
  const std::string chosen = SelectedConnectionText();
  // The entry whose connection came up last is the component's already.
  if (chosen == FPrevConnectionName) return;
  try {
    FXuRAS1->SetEntryName(chosen);
  } catch (const EXuRasError& e) {
    ShowRefusal(e.what());
    const std::string current = FXuRAS1->EntryName();
    if (!current.empty()) FView.SelectConnection(IndexOfConnection(current));
    PumpEvents();
    FView.RepaintConnections();
  }
}

void TMainFm::Button1Click() {
  if (FXuRAS1->Connected()) {
    // The caption follows when the notifier reports the line gone.
    SetLabel(TMainLabel::Label1, kDisconnectingText);
    PumpEvents();
    FXuRAS1->Disconnect();
    return;
  }
  const std::string entryName = FXuRAS1->EntryName();
  if (entryName.empty()) {
    ShowBox(kSelectConnectionText, TMessageBoxKind::Information);
    return;
  }
  const std::string chosen = SelectedConnectionText();
  const TStringDynArray active = FXuRAS1->EnumRasConnectionsNames();
  try {
    if (!active.empty()) {
      // The chosen entry may be up already (dialled elsewhere): take it over instead of dialling.
      // Another connection being up stops us from dialling at all.
      if (std::find(active.begin(), active.end(), entryName) == active.end()) return;
      if (FXuRAS1->UseConnection(entryName)) {
        FXuRAS1->SetConnected(true);
        PumpEvents();
      }
      return;
    }
    FXuRAS1->SetEntryName(chosen);
    PumpEvents();
    FXuRAS1->Connect();
  } catch (const EXuRasError& e) {
    // Connected meanwhile, or a name over the component's limit.
    ShowRefusal(e.what());
  }
}

// --- the component's events, on the user-interface thread ---------------------------------------

void TMainFm::XuRAS1RasDialFunction(uint32_t, TRASConnState aState, uint32_t aError) {
  // A state without a text empties the line.
  std::string text;
  RasStateText(aState, text);
  SetLabel(TMainLabel::Label1, text);
  if (aError != 0) ShowError(FXuRAS1->ErrorText(aError));
  PumpEvents();
}

void TMainFm::XuRAS1Connect() {
  FPrevConnectionName = FXuRAS1->EntryName();
  SetButton1(kDisconnectCaption);
  PumpEvents();
}

void TMainFm::XuRAS1Disconnect() {
  SetButton1(kConnectCaption);
  SetLabel(TMainLabel::Label1, "");
  PumpEvents();
}

void TMainFm::XuRAS1ListsLearnt(bool aAfterActivation) {
  if (!aAfterActivation) return;
  if (std::exchange(FActivationDeferred, false)) {
    RefreshConnections(true);
    if (!FXuRAS1->Connected()) FView.DropDownConnections();
    return;
  }
  // The service came back: what it still holds up is ours again, as at the first activation.
  if (FXuRAS1->Connected()) return;
  const std::string remembered = SelectedConnectionText();
  RefreshConnections(true);
  if (!FXuRAS1->Connected() && !remembered.empty()) FView.SelectConnection(IndexOfConnection(remembered));
}

void TMainFm::XuRAS1RasError(const std::string& aText) {
  SetLabel(TMainLabel::Label1, "");
  ShowError(aText);
}
