// 1x logs: paging channel (base station, sector) and pilot set (powers, paths, fingers).
#include <algorithm>
#include <cmath>

#include "protocol/Modem_Unit.h"

namespace {

constexpr uint16_t kPagingChannelLogLength = 46;
constexpr size_t kFirstPath = 39;
constexpr size_t kPathBytes = 4;
constexpr size_t kFingerBytes = 10;

uint8_t Bit(unsigned aValue, unsigned aBit) { return static_cast<uint8_t>(aValue >> aBit & 1u); }

// The searcher's gain in dB for the pregain, integration and non-coherent settings; none when it
// would be the logarithm of zero.
std::optional<float> SearcherGain(const PilotSet_Data& aData) {
  static constexpr double kPregainFactor[] = {2, 4, 8, 16};
  if (aData.Pregain >= std::size(kPregainFactor) || aData.Integration == 0) return std::nullopt;
  double gain = 20.0 * std::log10(kPregainFactor[aData.Pregain] * aData.Integration * 4.0);
  if (aData.NonCoherent > 0) gain += 10.0 * std::log10(static_cast<double>(aData.NonCoherent));
  return static_cast<float>(gain);
}

}  // namespace

bool TModem::ParsePagingChannelLog(const TFrameReader& aFrame) {
  if (aFrame.U16(2) != kPagingChannelLogLength || aFrame.U8(17) != 1) return false;
  const uint16_t w = aFrame.U16(32);
  const unsigned high = w >> 8, low = w & 0xFFu;
  const auto base = static_cast<uint16_t>(high << 4 | (low & 0xF0u) | (high & 0x0Fu));
  // A zero base is a message that does not name the station: keep the last one.
  if (base != 0) {
    FPagingChannelMessage.base_id = base;
    FPagingChannelMessage.sector_id = static_cast<uint8_t>(low & 0x0Fu);
  }
  return false;
}

bool TModem::ParsePilotSetLog(const TFrameReader& aFrame) {
  PilotSet_Data& d = FPilotSetData;
  d.ZeroInit();
  StampHeader(d, aFrame);

  const uint8_t flags = aFrame.U8(16);
  d.TransmitPilot = Bit(flags, 0);
  d.TransmitEnabled = Bit(flags, 1);
  d.PilotType = Bit(flags, 2);
  d.BandClass = aFrame.U8(17);
  d.Pregain = aFrame.U8(18);
  d.Integration = aFrame.U8(19);
  d.NonCoherent = aFrame.U8(20);
  const uint16_t pilot = aFrame.U16(21);
  d.PilotPnOffset = pilot & 0x1FF;
  d.PilotInCandidateFrequencySearchSet = Bit(pilot, 9);
  d.PilotNotTheReferencePilot = Bit(pilot, 10);
  d.PilotInPrecandidateSet = Bit(pilot, 11);
  d.PilotInRemainingSet = Bit(pilot, 12);
  d.PilotInNeighborSet = Bit(pilot, 13);
  d.PilotInCandidateSet = Bit(pilot, 14);
  d.PilotInActiveSet = Bit(pilot, 15);
  d.WindowPosition = aFrame.U32(23);
  d.WindowSize = aFrame.U16(27);
  d.RX_AGC = static_cast<float>(aFrame.U8(29) / 3.0 - 63.248);
  d.TX_AGC = static_cast<float>(aFrame.U8(30) / 3.0 - 52.25);
  const uint8_t gainAdjust = aFrame.U8(31);
  d.TX_Gain_Adjust = gainAdjust == 0x7F ? 0.0f : static_cast<float>(-(gainAdjust / 2.0));
  d.TX_Power_Limit = static_cast<float>(aFrame.U8(32) / 3.0 - 52.33);
  d.SearcherState = aFrame.U8(33);
  const uint16_t config = aFrame.U16(34);
  d.RadioConfig_FCH = config & 0x0F;
  d.RadioConfig_SCH0 = config >> 4 & 0x0F;
  d.RadioConfig_SCH1 = config >> 8 & 0x0F;
  d.RadioConfig_DCCH = config >> 12 & 0x0F;
  const uint8_t mask = aFrame.U8(36);
  d.ChanelMask_FCH = Bit(mask, 0);
  d.ChanelMask_SCH0 = Bit(mask, 1);
  d.ChanelMask_SCH1 = Bit(mask, 2);
  d.ChanelMask_DCCH = Bit(mask, 3);
  d.ChanelMask_ScchCount = mask >> 4 & 0x07;
  d.NumberOfPaths = aFrame.U8(37);
  d.NumberOfFingers = aFrame.U8(38);

  const std::optional<float> gain = SearcherGain(d);
  const int paths = std::min<int>(d.NumberOfPaths, PilotSet_Data::kMaxPaths);
  for (int i = 0; i < paths; ++i) {
    const size_t at = kFirstPath + kPathBytes * i;
    PilotSetPath& path = d.pathArray[i];
    path.Position = aFrame.U16(at);
    const uint16_t e = aFrame.U16(at + 2);
    if (e != 0 && gain)
      path.Energy = static_cast<float>(10.0 * std::log10(static_cast<double>(e)) + 78.445 - *gain - 60.89);
  }

  // The fingers follow every path the packet holds, kept or not.
  const size_t firstFinger = kFirstPath + kPathBytes * d.NumberOfPaths;
  const int fingers = std::min<int>(d.NumberOfFingers, PilotSet_Data::kMaxFingers);
  for (int j = 0; j < fingers; ++j) {
    const size_t at = firstFinger + kFingerBytes * j;
    PilotSetFinger& finger = d.fingerArray[j];
    finger.Pilot = aFrame.U16(at);
    finger.Tag = aFrame.U8(at + 2);
    const uint8_t energy = aFrame.U8(at + 3);
    finger.Energy = energy != 0 ? static_cast<float>(10.0 * std::log10(static_cast<double>(energy)) - 24.6) : -40.0f;
    finger.Position = aFrame.U32(at + 4);
    const uint16_t fingerFlags = aFrame.U16(at + 8);
    finger.Flag1 = Bit(fingerFlags, 1);
    finger.Flag2 = Bit(fingerFlags, 2);
  }

  ++FRXPacketsCount;
  return true;
}
