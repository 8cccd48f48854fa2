// Loading a capture for a replay.
#include "capture/ReplayCapture.h"

namespace {

std::string BaseName(const std::string& aPath) {
  const size_t slash = aPath.rfind('/');
  return slash == std::string::npos ? aPath : aPath.substr(slash + 1);
}

}  // namespace

std::shared_ptr<const TReplayCapture> TReplayCapture::Load(const std::string& aPath) {
  TCaptureReader reader(aPath);
  return Load(reader);
}

void TReplayCapture::Add(const TCaptureRecord& aRecord) {
  if (aRecord.Direction == TCaptureDirection::Monitor && !aRecord.Payload.empty() &&
      ByteAt(aRecord.Payload, 0) == static_cast<uint8_t>(TMonitorMark::TimerTick))
    FTimerMarks = true;
  if (aRecord.Direction == TCaptureDirection::FromModem) FModemBytes += aRecord.Payload.size();
  FRecords.push_back({aRecord.TimeUs, aRecord.Direction, FBytes.size(), aRecord.Payload.size()});
  FBytes += aRecord.Payload;
}

void TReplayCapture::Check(const std::string& aName) const {
  if (FModemBytes == 0)
    throw ECaptureError(aName + ": nothing from the modem in its " + std::to_string(FRecords.size()) +
                        " records, so there is nothing to replay");
}

std::shared_ptr<const TReplayCapture> TReplayCapture::Load(TCaptureReader& aReader) {
  auto capture = std::make_shared<TReplayCapture>();
  capture->FName = BaseName(aReader.Name());
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
    capture->Add(record);
  }
  capture->Check(aReader.Name());
  return capture;
}

std::shared_ptr<const TReplayCapture> TReplayCapture::FromRecords(const std::string& aName,
                                                                  const std::vector<TCaptureRecord>& aRecords) {
  auto capture = std::make_shared<TReplayCapture>();
  capture->FName = BaseName(aName);
  for (const TCaptureRecord& record : aRecords) capture->Add(record);
  capture->Check(aName);
  return capture;
}
