// Any bytes as a capture file: the reader, the frame dump and a replay at the maximum speed with
// the monitor's start-up commands, its bytes fed into a session. A clear error or a replay to
// its end, never a crash or a hang.
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "capture/FrameDump.h"
#include "capture/ReplayCapture.h"
#include "capture/ReplaySource.h"
#include "protocol/Modem_Unit.h"

namespace {

std::FILE* Open(const uint8_t* aData, size_t aSize) {
  // fmemopen refuses a buffer of no bytes; an empty file is as good.
  static const uint8_t kNothing = 0;
  return fmemopen(const_cast<uint8_t*>(aSize ? aData : &kNothing), aSize, "rb");
}

void Dump(const uint8_t* aData, size_t aSize) {
  std::FILE* file = Open(aData, aSize);
  if (!file) return;
  try {
    TCaptureReader reader(file, "fuzz.pcap");
    uint64_t lines = 0;
    const TCaptureReader::TResult result = DumpRecords(reader, [&](const TDumpLine& aLine) {
      ++lines;
      FUZZ_CHECK(!DumpLineText(aLine).empty());
      const std::string json = DumpLineJson(aLine);
      FUZZ_CHECK(json.front() == '{' && json.back() == '}');
    });
    FUZZ_CHECK(result != TCaptureReader::TResult::Record);
    if (result != TCaptureReader::TResult::End) FUZZ_CHECK(!reader.Problem().empty());
  } catch (const ECaptureError& e) {
    FUZZ_CHECK(std::string(e.what()).rfind("fuzz.pcap: ", 0) == 0);
  }
}

void Replay(const uint8_t* aData, size_t aSize) {
  std::FILE* file = Open(aData, aSize);
  if (!file) return;
  std::shared_ptr<const TReplayCapture> capture;
  try {
    TCaptureReader reader(file, "fuzz.pcap");
    capture = TReplayCapture::Load(reader);
  } catch (const ECaptureError& e) {
    FUZZ_CHECK(std::string(e.what()).rfind("fuzz.pcap: ", 0) == 0);
    return;
  }
  FUZZ_CHECK(capture->ModemBytes() > 0);

  TReplaySource source(capture, "replay:fuzz", TReplaySpeed{true, 1});
  bool unplugged = false;
  source.SetOnUnplug([&] { unplugged = true; });
  std::unique_ptr<TSerialDevice> device = source.Devices()();
  FUZZ_CHECK(device->Open(source.DevicePath()) == 0);
  TModem session(nullptr, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);

  // The monitor's conversation, a command whenever the replay waits for one.
  const std::string_view commands[] = {kStatusRequestCommand, kLogMaskCommand, kLogMask1xCommand, kLogMaskCommand,
                                       kNvItem20Command,      kStatusRequestCommand, kNvItem21Command, kNvItem21Command};
  size_t next = 0;
  uint64_t delivered = 0;
  const size_t steps = capture->Size() * 4 + 64;
  for (size_t step = 0; step < steps && !source.Ended(); ++step) {
    uint32_t queued = 0;
    if (device->QueuedBytes(queued) == 0 && queued > 0) {
      TByteString bytes(queued, '\0');
      uint32_t read = 0;
      FUZZ_CHECK(device->Read(bytes.data(), queued, read, nullptr) == 0 && read == queued);
      session.ProcessReceivedBytes(bytes);
      delivered += read;
    }
    const TReplaySource::TStep result = source.Step(std::nullopt);
    if (result.Kind != TReplaySource::TStep::TKind::Blocked) continue;
    if (next == std::size(commands)) break;
    // A reader for each command, as the window starts one before each conversation.
    device->SetWaitMask(kEvRxChar);
    device->SetWaitMask(0);
    const TByteString frame = TModem::ComposeCommand(commands[next++]);
    uint32_t written = 0;
    FUZZ_CHECK(device->Write(frame.data(), static_cast<uint32_t>(frame.size()), written, nullptr) == 0);
  }
  FUZZ_CHECK(delivered <= capture->ModemBytes());
  FUZZ_CHECK(unplugged == source.Ended());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  Dump(aData, aSize);
  Replay(aData, aSize);
  return 0;
}
