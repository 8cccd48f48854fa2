// Loading a capture for a replay.
#include "capture/ReplayCapture.h"

std::shared_ptr<const TReplayCapture> TReplayCapture::Load(const std::string& aPath) {
  TCaptureReader reader(aPath);
  return Load(reader);
}

std::shared_ptr<const TReplayCapture> TReplayCapture::Load(TCaptureReader& aReader) {
  auto capture = std::make_shared<TReplayCapture>();
  const std::string& name = aReader.Name();
  const size_t slash = name.rfind('/');
  capture->FName = slash == std::string::npos ? name : name.substr(slash + 1);
  TCaptureRecord record;
  for (;;) {
    const TCaptureReader::TResult result = aReader.Next(record);
    if (result == TCaptureReader::TResult::End) break;
    if (result == TCaptureReader::TResult::Damaged) throw ECaptureError(aReader.Problem());
    if (result == TCaptureReader::TResult::CutOff) {
      capture->FWarning = aReader.Problem() + "; the " + std::to_string(capture->FRecords.size()) +
                          " records before it are replayed";
      break;
    }
    if (record.Direction == TCaptureDirection::Monitor && !record.Payload.empty() &&
        ByteAt(record.Payload, 0) == static_cast<uint8_t>(TMonitorMark::TimerTick))
      capture->FTimerMarks = true;
    if (record.Direction == TCaptureDirection::FromModem) capture->FModemBytes += record.Payload.size();
    capture->FRecords.push_back({record.TimeUs, record.Direction, capture->FBytes.size(), record.Payload.size()});
    capture->FBytes += record.Payload;
  }
  if (capture->FModemBytes == 0)
    throw ECaptureError(name + ": nothing from the modem in its " + std::to_string(capture->FRecords.size()) +
                        " records, so there is nothing to replay");
  return capture;
}
