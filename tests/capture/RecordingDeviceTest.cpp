// The recording devices over real pseudo-terminals: the session's reads exactly as read and its
// writes, only the probe exchange of the port the session then takes, and a tick that no read
// overtakes.
#include <fcntl.h>
#include <poll.h>

#include <condition_variable>
#include <mutex>

#include "CaptureTestSupport.h"
#include "capture/CaptureRecorder.h"
#include "capture/RecordingDevice.h"
#include "serial/XuComPort.h"

using namespace capture_test;
using namespace std::chrono_literals;

namespace {

// The modem's end of a pseudo-terminal.
class TModemEnd {
 public:
  TModemEnd() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) std::abort();
    char name[128] = {};
    if (ptsname_r(FMaster, name, sizeof name) != 0) std::abort();
    Path = name;
  }
  ~TModemEnd() { close(FMaster); }
  void Send(TByteView aBytes) const { ASSERT_EQ(write(FMaster, aBytes.data(), aBytes.size()), static_cast<ssize_t>(aBytes.size())); }
  // Waits for aCount bytes from the port.
  TByteString Receive(size_t aCount) const {
    TByteString got;
    while (got.size() < aCount) {
      pollfd p{FMaster, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;
      char buffer[256];
      const ssize_t n = read(FMaster, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  std::string Path;

 private:
  int FMaster = -1;
};

// A port whose data events collect what it reads.
class TPort {
 public:
  TPort(TPortTable& aTable, TSerialDeviceFactory aDevices) {
    FPort.SetPortTable(&aTable);
    FPort.SetDeviceFactory(std::move(aDevices));
    FPort.OnData = [this](TCustomXuComPort*, uint32_t) {
      const TByteString bytes = FPort.ReadString();
      std::lock_guard lock(FLock);
      FRead += bytes;
      ++FEvents;
      FChanged.notify_all();
    };
  }
  ~TPort() { FPort.Close(); }
  void Open(uint16_t aNumber) {
    FPort.SetPortNumber(aNumber);
    ASSERT_TRUE(FPort.Open());
    FPort.StartRead();
  }
  void Write(TByteView aBytes) { ASSERT_TRUE(FPort.DirectWriteData(aBytes.data(), static_cast<int>(aBytes.size()))); }
  bool WaitFor(size_t aBytes) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, 10s, [&] { return FRead.size() >= aBytes; });
  }
  int Events() {
    std::lock_guard lock(FLock);
    return FEvents;
  }
  void Close() {
    FPort.Close();
    while (!FPort.ReadDone()) std::this_thread::sleep_for(5ms);
  }

 private:
  TXuComPort FPort;
  std::mutex FLock;
  std::condition_variable FChanged;
  TByteString FRead;
  int FEvents = 0;
};

std::string Describe(const TCaptureRecord& aRecord) {
  switch (aRecord.Direction) {
    case TCaptureDirection::FromModem: return "R " + aRecord.Payload;
    case TCaptureDirection::ToModem: return "W " + aRecord.Payload;
    case TCaptureDirection::Monitor: break;
  }
  return "M " + HexDump(aRecord.Payload);
}

class RecordingDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    FRecorder = std::make_unique<TCaptureRecorder>(TCaptureWriter::Create(FDir / "rec.pcap"));
    FTap = std::make_unique<TCaptureTap>(*FRecorder);
  }
  std::vector<std::string> Recorded() {
    FRecorder->Close();
    std::vector<std::string> lines;
    for (const TCaptureRecord& r : ReadCapture(FRecorder->Path())) lines.push_back(Describe(r));
    return lines;
  }
  // One probe of a port: the status request and the modem's answer.
  void Probe(uint16_t aNumber, const TModemEnd& aModem, const TByteString& aAnswer) {
    TPort probe(FTable, FTap->ProbeDevices());
    probe.Open(aNumber);
    probe.Write("probe\x7E");
    EXPECT_EQ(aModem.Receive(6), "probe\x7E");
    aModem.Send(aAnswer);
    EXPECT_TRUE(probe.WaitFor(aAnswer.size()));
    probe.Close();
  }

  TTempDir FDir;
  TPortTable FTable;
  std::unique_ptr<TCaptureRecorder> FRecorder;
  std::unique_ptr<TCaptureTap> FTap;
};

}  // namespace

TEST_F(RecordingDevices, TheSessionsPortWithItsOwnProbeOnly) {
  TModemEnd modem, other;
  const uint16_t modemPort = FTable.RegisterExtraPort(modem.Path, "modem");
  const uint16_t otherPort = FTable.RegisterExtraPort(other.Path, "other");

  Probe(otherPort, other, "other\x7E");
  Probe(modemPort, modem, "first\x7E");
  Probe(modemPort, modem, "answer\x7E");
  {
    // The window's look whether the port opens: nothing exchanged, nothing replaced.
    std::unique_ptr<TSerialDevice> look = FTap->ProbeDevices()();
    ASSERT_EQ(look->Open(modem.Path), 0);
    look->Close();
  }
  FTap->TickBegins(0);  // no session yet: no mark
  FTap->TickEnds();

  TPort session(FTable, FTap->SessionDevices());
  session.Open(modemPort);
  const TByteString stream = Bytes({0x10, 0x7D, 0x5E, 0x00, 0x7E, 0x7E, 0x42});  // escapes, flags, a partial frame
  modem.Send(stream);
  ASSERT_TRUE(session.WaitFor(stream.size()));
  session.Write("cmd\x7E");
  EXPECT_EQ(modem.Receive(4), "cmd\x7E");
  FTap->TickBegins(2);
  FTap->TickEnds();
  session.Close();
  FTap->TickBegins(2);  // the session's port is closed again: no mark
  FTap->TickEnds();

  EXPECT_EQ(Recorded(), (std::vector<std::string>{"M 01", "W probe\x7E", "R answer\x7E", "M 01", "R " + stream,
                                                  "W cmd\x7E", "M 02 02"}));
}

// A read that arrives during a tick waits for the tick's end: the capture then shows exactly the
// reads the tick saw.
TEST_F(RecordingDevices, NoReadOvertakesATick) {
  TModemEnd modem;
  const uint16_t number = FTable.RegisterExtraPort(modem.Path, "modem");
  TPort session(FTable, FTap->SessionDevices());
  session.Open(number);
  modem.Send("before\x7E");
  ASSERT_TRUE(session.WaitFor(7));
  const int events = session.Events();

  FTap->TickBegins(1);
  modem.Send("during\x7E");
  // Long enough for an unheld reader to have taken the bytes many times over.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(session.Events(), events) << "a read ran inside the tick";
  FTap->TickEnds();
  ASSERT_TRUE(session.WaitFor(14));
  session.Close();

  EXPECT_EQ(Recorded(), (std::vector<std::string>{"M 01", "R before\x7E", "M 02 01", "R during\x7E"}));
}
