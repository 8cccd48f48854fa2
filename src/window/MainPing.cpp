// The main window's ping tool: the Ping button starts and stops pinging the dial-up link's far
// end, for five minutes at most; the lines come back as WM_PING_REPLY.
#include "window/MainUnit.h"

void TMainFm::PingActionExecute() {
  if (PingThread)
    StopPing();
  else
    StartPing();
}

void TMainFm::PingTimeoutTimerTimer() { StopPing(); }

void TMainFm::StartPing() {
  if (!FXuRAS1->Connected()) {
    ShowBox(kPingNeedsConnectionText, TMessageBoxKind::Information);
    return;
  }
  // An unknown peer is not reported: the first echo fails and says so.
  const std::string destination = FXuRAS1->PeerAddress();
  if (PingThread) return;
  PingThread = std::make_unique<TPingThread>(
      FLoop.Target(), destination,
      // The ping thread's last act; the window learns of it in order after the last line.
      [this] { PostToWindow([this] { PingDone(); }); },
      FOptions.EchoFactory ? FOptions.EchoFactory() : nullptr);
  PingTimeoutTimer->SetEnabled(true);
}

void TMainFm::StopPing() {
  if (!PingThread) return;
  PingThread->Stop();
  // Until PingDone has run. Waiting for the thread's absence rather than for a one-shot signal
  // lets a second StopPing run inside this wait (the five-minute timer, the button) without
  // either of them waiting for ever.
  PumpUntilDone([this] { return PingThread != nullptr; });
}

void TMainFm::PingDone() {
  // The thread has posted its last line and is returning: joining it is immediate.
  PingThread.reset();
  PingTimeoutTimer->SetEnabled(false);
}

void TMainFm::WMPingReply(TWindowMessage& aMessage) {
  // The window shows no ping line; taking the text releases it.
  const std::string line = aMessage.Text.value_or(std::string());
  aMessage.Text.reset();
  if (!line.empty()) FView.ShowPingReply(line);
  if (aMessage.LParam >= 0)
    PublishEvent(TMonitorEventKind::PingReply, line, {}, {}, static_cast<uint32_t>(aMessage.LParam));
  else if (aMessage.LParam == kPingEchoLost)
    PublishEvent(TMonitorEventKind::PingLoss, line);
}
