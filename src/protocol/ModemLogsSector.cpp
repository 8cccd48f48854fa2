// EV-DO sector and access logs: serving cell, sector and PN, attempt counters.
#include "common/WindowMessages.h"
#include "protocol/Modem_Unit.h"

namespace {

constexpr uint16_t kAttemptCountersLogLength = 38;
constexpr uint16_t kAccessChannelLogLength = 37;
constexpr uint16_t kServingSectorLogLength = 32;

}  // namespace

bool TModem::ParseAttemptCountersLog(const TFrameReader& aFrame) {
  if (aFrame.U16(2) != kAttemptCountersLogLength) return false;
  FSuccessCount = aFrame.U32(23);
  FFailureCount = aFrame.U32(27);
  FAttemptsCount = aFrame.U32(31);
  FPN = aFrame.U16(35);
  FFace = aFrame.U8(37);
  FCell = aFrame.U16(38);
  PostToForm(WM_MODEM_SECTOR);
  return true;
}

bool TModem::ParseAccessChannelLog(const TFrameReader& aFrame) {
  if (aFrame.U16(2) != kAccessChannelLogLength) return false;
  ::SignalingAccessChannel& d = FSignalingAccessChannel;
  StampHeader(d, aFrame);
  d.BandClass = aFrame.U8(16);
  d.ChannelNumber = aFrame.U16(17);
  d.PilotPn = aFrame.U16(19);
  d.HSTR = aFrame.U16(21);
  d.SomeData = aFrame.U8(23);
  d.SeqNo = aFrame.U8(24);
  d.AckSeqNo = aFrame.U8(25);
  d.SyncCCFlag = aFrame.U8(26);
  d.MSG = aFrame.U8(27);
  d.MessageID = aFrame.U8(28);
  d.ColorCode = aFrame.U8(29);
  d.BtsID = aFrame.U16BE(30);
  d.SectorID = aFrame.U8(32);
  d.SectorSignature = aFrame.U16(33);
  d.AccessSignature = aFrame.U16(35);
  return true;
}

bool TModem::ParseServingSectorLog(const TFrameReader& aFrame) {
  if (aFrame.U16(2) != kServingSectorLogLength) return false;
  FCell = aFrame.U16BE(29);  // big-endian here, little-endian in the attempt counters log
  FFace = aFrame.U8(31);
  FPN = aFrame.U16(34);
  PostToForm(WM_MODEM_SECTOR);
  return true;
}
