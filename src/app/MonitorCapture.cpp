// The run's capture and replay.
#include "app/MonitorCapture.h"

#include "serial/SetupAPI.h"

namespace {

// The notifications own their sources; the replayed port's events stay with the capture, which
// outlives the window, so that an unplug at the end of a replay never finds them gone.
class TEventsProxy final : public TPortEventSource {
 public:
  explicit TEventsProxy(TExtraPortEvents& aEvents) : FEvents(aEvents) {}
  bool Start(TPortNotifier& aNotifier) override { return FEvents.Start(aNotifier); }
  void Stop() override { FEvents.Stop(); }

 private:
  TExtraPortEvents& FEvents;
};

}  // namespace

std::unique_ptr<TMonitorCapture> TMonitorCapture::Create(const TMonitorOptions& aOptions, std::ostream& aNotes,
                                                         TPortTable& aTable) {
  try {
    return std::unique_ptr<TMonitorCapture>(new TMonitorCapture(aOptions, aNotes, aTable));
  } catch (const ECaptureError& e) {
    aNotes << "cdma-monitor: " << e.what() << '\n';
    return nullptr;
  }
}

TMonitorCapture::TMonitorCapture(const TMonitorOptions& aOptions, std::ostream& aNotes, TPortTable& aTable)
    : FNotes(aNotes), FTable(aTable) {
  // The replay is read first: a capture that cannot be played leaves no new file behind.
  if (aOptions.Replay) {
    std::shared_ptr<const TReplayCapture> capture = TReplayCapture::Load(*aOptions.Replay);
    if (!capture->Warning().empty()) FNotes << "cdma-monitor: " << capture->Warning() << '\n';
    const std::string path = "replay:" + *aOptions.Replay;
    FReplay = std::make_unique<TReplaySource>(capture, path, TReplaySpeed{aOptions.ReplayMax, aOptions.ReplayFactor});
    FReplayEvents = std::make_unique<TExtraPortEvents>(FTable);
    // Before the notifications start this only registers the port: it is there from the outset.
    FReplayEvents->Plug(path, "Replay of " + capture->Name());
    FReplay->SetOnUnplug([this, path] { FReplayEvents->Unplug(path); });
  }
  if (aOptions.Capture) {
    std::unique_ptr<TCaptureWriter> writer = TCaptureWriter::Create(*aOptions.Capture);
    if (writer->Path() != *aOptions.Capture)
      FNotes << "cdma-monitor: " << *aOptions.Capture << " exists; capturing to " << writer->Path() << '\n';
    else
      FNotes << "cdma-monitor: capturing to " << writer->Path() << '\n';
    FRecorder = std::make_unique<TCaptureRecorder>(std::move(writer), [this](const std::string& aText) {
      std::lock_guard lock(FNotesLock);
      FReported = true;
      FNotes << "cdma-monitor: " << aText << "; the capture ends there\n";
      FNotes.flush();
    });
    FTap = std::make_unique<TCaptureTap>(*FRecorder);
  }
}

TMonitorCapture::~TMonitorCapture() {
  Close();
  if (FReplay) FReplay->SetOnUnplug({});
}

const std::string& TMonitorCapture::CapturePath() const {
  static const std::string kNone;
  return FRecorder ? FRecorder->Path() : kNone;
}

std::unique_ptr<TPortEventSource> TMonitorCapture::EventSource() {
  if (!FReplayEvents) return nullptr;
  return std::make_unique<TEventsProxy>(*FReplayEvents);
}

TSerialDeviceFactory TMonitorCapture::BaseDevices() { return FReplay ? FReplay->Devices() : TSerialDeviceFactory{}; }

void TMonitorCapture::Adjust(TMainFmOptions& aOptions) {
  if (FReplay) {
    TPortTable* table = &FTable;
    // The replayed port is the only one: a modem that happens to be plugged in stays out of it.
    aOptions.EnumerateComPorts = [table]() -> TPortEntries {
      std::vector<std::string> lines;
      for (const TPortTable::TExtraPort& port : table->ExtraPorts()) {
        const std::string name = "COM" + std::to_string(port.Number);
        if (IsCandidatePortName(name)) lines.push_back(FormatPortLine(name, port.Description));
      }
      if (lines.empty()) return std::nullopt;
      return lines;
    };
    aOptions.WallClock = [source = FReplay.get()] { return source->RecordedNow(); };
  }
  const TSerialDeviceFactory base = BaseDevices();
  aOptions.DeviceFactory = FTap ? FTap->ProbeDevices(base) : base;
}

TUiLoop& TMonitorCapture::Loop(TUiLoop& aInner) {
  TUiLoop* loop = &aInner;
  if (FReplay && FReplay->Speed().Max) {
    FReplayLoop = std::make_unique<TReplayUiLoop>(*loop, *FReplay);
    loop = FReplayLoop.get();
  }
  if (FTap) {
    FRecordingLoop = std::make_unique<TRecordingUiLoop>(*loop, *FTap);
    loop = FRecordingLoop.get();
  }
  return *loop;
}

void TMonitorCapture::Attach(TMainFm& aFm) {
  if (FTap) aFm.Modem().ComPort()->SetDeviceFactory(FTap->SessionDevices(BaseDevices()));
}

void TMonitorCapture::Close() {
  if (!FRecorder || FClosed) return;
  FClosed = true;
  const bool reported = [&] {
    std::lock_guard lock(FNotesLock);
    return FReported;
  }();
  const std::string error = FRecorder->Close();
  if (!error.empty() && !reported) FNotes << "cdma-monitor: " << error << '\n';
}
