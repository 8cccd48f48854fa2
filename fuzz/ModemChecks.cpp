// Driving the modem session with arbitrary bytes and checking what must hold afterwards.
#include "ModemChecks.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "common/Crc16.h"
#include "common/MessageTarget.h"
#include "common/WindowMessages.h"
#include "protocol/Modem_Unit.h"

namespace fuzz {
namespace {

std::vector<TByteString> Frames(const TFrameList& aList) {
  std::vector<TByteString> frames;
  for (size_t i = 0; i < aList.Count(); ++i) frames.emplace_back(aList[i]);
  return frames;
}

// Counts what the session posts; nobody reads the messages.
class TCountingTarget final : public TMessageTarget {
 public:
  void PostMessage(TWindowMessage aMessage) override {
    FUZZ_CHECK(aMessage.Msg == WM_MODEM_IDENTITY || aMessage.Msg == WM_MODEM_SECTOR);
    ++Posted;
  }
  uint64_t Posted = 0;
};

bool Finite(float aValue) { return std::isfinite(aValue); }

bool AllDigits(std::string_view aText) {
  return std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool AllHex(std::string_view aText) {
  return std::all_of(aText.begin(), aText.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

template <size_t N>
void CheckShort(const TShortString<N>& aText) {
  FUZZ_CHECK(aText.Length <= N);
}

void CheckHeader(const TRecordHeader& aHeader) {
  CheckShort(aHeader.TimeStr);
  CheckShort(aHeader.DateStr);
}

// The identity strings start as " " and only ever hold what the replies decode to.
void CheckIdentity(const TModem& aModem) {
  const std::string esn = aModem.modemESN();
  FUZZ_CHECK(esn == " " || AllHex(esn.starts_with("0x") ? esn.substr(2) : esn));
  const std::string min = aModem.modemMIN();
  FUZZ_CHECK(min == " " || (min.size() == 7 && AllDigits(min)));
  const std::string dn = aModem.modemDN();
  FUZZ_CHECK(dn == " " || (dn.size() == 7 && AllDigits(dn)));
  const std::string lac = aModem.modemLAC();
  FUZZ_CHECK(lac == " " || (!lac.empty() && lac.size() <= 5 && AllDigits(lac)));
  const std::string imsi = aModem.modemIMSI();
  // Built from the LAC and the directory number of its time; a later 0x20 reply may change the latter.
  FUZZ_CHECK(imsi == " " || (imsi.starts_with("38360") && std::all_of(imsi.begin(), imsi.end(), [](char c) {
                               return c == ' ' || (c >= '0' && c <= '9');
                             })));
}

void CheckRecords(const TModem& aModem) {
  const PilotSet_Data pilot = aModem.PilotSetData();
  CheckHeader(pilot);
  FUZZ_CHECK(Finite(pilot.RX_AGC) && Finite(pilot.TX_AGC) && Finite(pilot.TX_Gain_Adjust) &&
             Finite(pilot.TX_Power_Limit));
  for (const PilotSetPath& path : pilot.pathArray) FUZZ_CHECK(Finite(path.Energy));
  for (const PilotSetFinger& finger : pilot.fingerArray) FUZZ_CHECK(Finite(finger.Energy));

  const CarrierDataRevA_ revA = aModem.CarrDataRevA();
  CheckHeader(revA);
  for (float v : {revA.TxOpen, revA.TxClosed, revA.TxPilot, revA.TxTotal, revA.RxPowerAntenna_0,
                  revA.RxPowerAntenna_1, revA.ci, revA.snr})
    FUZZ_CHECK(Finite(v));

  const NeighborData neighbors = aModem.NeighborData();
  CheckHeader(neighbors);
  FUZZ_CHECK(Finite(neighbors.APilotEng));
  for (const CandidatePilot& c : neighbors.CandidatArr) FUZZ_CHECK(Finite(c.PilotEng) && c.PilotPos <= 580);
  for (const NeighborPilot& n : neighbors.NeighborArr) FUZZ_CHECK(Finite(n.PilotEng) && n.PilotPos <= 580);

  const CarrierData_RevB revB = aModem.CarrDataRevB();
  CheckHeader(revB);
  FUZZ_CHECK(Finite(revB.TotalTxPower));
  for (const CarrierPowerB& c : revB.carrArray)
    for (float v : {c.TxOpen, c.TxClosed, c.TxPilot, c.TxTotal, c.RxPowerAntenna_0, c.RxPowerAntenna_1, c.ci, c.snr})
      FUZZ_CHECK(Finite(v));

  const ARQData_A arqA = aModem.EvdoArqDataA();
  for (const ArqSlotA& slot : arqA.SlotDataArray_0) FUZZ_CHECK(slot.Drc <= 15);
  for (const ArqSlotA& slot : arqA.SlotDataArray_1) FUZZ_CHECK(slot.Drc <= 15);
  const ARQData_B arqB = aModem.EvdoArqDataB();
  FUZZ_CHECK(Finite(arqB.LongTermDRC) && Finite(arqB.PredLongTermDRC));
  for (const ArqCarrierB& carrier : arqB.carrData)
    for (const ArqSlotB& slot : carrier.Slots) FUZZ_CHECK(slot.DRC <= 27);

  CheckHeader(aModem.SignalingAccessChannel());
  CheckHeader(aModem.EvdoAForward());
  CheckHeader(aModem.EvdoAReverse());
  const EvdoMultiCarrierSingleForward forwardB = aModem.EvdoMultiCarrierSingleForward();
  CheckHeader(forwardB);
  for (const CarrierLinkStat& c : forwardB.CarrData) FUZZ_CHECK(c.Channel <= 0x7FF);
  const EvdoMultiCarrierSingleReverse reverseB = aModem.EvdoMultiCarrierSingleReverse();
  CheckHeader(reverseB);
  for (const CarrierLinkStat& c : reverseB.CarrData) FUZZ_CHECK(c.Channel <= 0x7FF);
}

bool IsStatKey(const TDRCStatList& aList, uint32_t aSize) { return aSize == 0 || aList.count(aSize) == 1; }

void CheckRates(const TModem& aModem) {
  const TDRCStatList forward = aModem.DRCForwardStatList();
  const TDRCStatList reverse = aModem.DRCReverseStatList();
  for (const TDRCStatList* list : {&forward, &reverse})
    for (const auto& [size, data] : *list) FUZZ_CHECK(size != 0 && size <= 12288 && data.drcValue() == size);
  FUZZ_CHECK(IsStatKey(forward, aModem.DRC_Forward()));
  const TEvdoType type = aModem.EvdoType();
  if (type == evtRevB || type == evtRevBplus) FUZZ_CHECK(IsStatKey(reverse, aModem.DRC_Reverse()));

  const float arqA = aModem.ARQDataA();
  const float arqB = aModem.ARQDataB();
  FUZZ_CHECK(Finite(arqA) && arqA >= 0 && arqA <= *std::max_element(std::begin(DrcRatesRevA), std::end(DrcRatesRevA)));
  FUZZ_CHECK(Finite(arqB) && arqB >= 0 &&
             arqB <= ARQData_B::kMaxCarriers * *std::max_element(std::begin(DrcRatesRevB), std::end(DrcRatesRevB)));
}

// What the window's polling tick reads.
void ReadLikeTheWindow(const TModem& aModem) {
  static const std::string_view kTypeTexts[] = {"undefined", "1x", "Rev.0", "Rev.A", "Rev.B", "Rev.B+"};
  const TEvdoType type = aModem.EvdoType();
  FUZZ_CHECK(type <= evtRevBplus);
  const std::string text = aModem.GetEvdoType();
  if (aModem.SearcherState() == 3)
    FUZZ_CHECK(text == "Sleep");
  else
    FUZZ_CHECK(text == kTypeTexts[type]);
  FUZZ_CHECK(Finite(aModem.TotalTXPower()));
  FUZZ_CHECK(Finite(aModem.RXValue()));
  FUZZ_CHECK(Finite(aModem.MaxStrengthPilot()));
  if (type == evtNone) {
    FUZZ_CHECK(aModem.TotalTXPower() == -60.39f && aModem.RXValue() == 0);
    FUZZ_CHECK(aModem.BaseID() == 0 && aModem.SectorID() == 0);
  }
  (void)aModem.CellNumber();
  (void)aModem.FaceNumber();
  (void)aModem.PnNumber();
  CheckRates(aModem);
}

}  // namespace

// The harness's own per-byte loop: left out of the coverage, which is about the code under test.
__attribute__((no_sanitize("coverage"))) TFrameCount CountFrames(TByteView aStream) {
  TFrameCount count;
  size_t length = 0;  // unescaped bytes of the frame in progress
  uint16_t crc = crc16x25::kInit;
  bool discarding = false;
  // A frame is dropped as soon as it is seen to be too long, not when its flag comes: after
  // each plain byte, and before the byte that follows an escaped pair.
  auto checkBound = [&] {
    if (!discarding && length > TFrameSplitter::kMaxFrameBytes) {
      ++count.Bad;
      discarding = true;
      length = 0;
      crc = crc16x25::kInit;
    }
  };
  for (size_t i = 0; i < aStream.size(); ++i) {
    checkBound();
    auto b = static_cast<uint8_t>(aStream[i]);
    if (discarding) {
      discarding = b != 0x7E;
      continue;
    }
    if (b == 0x7E) {
      if (length == 1 || (length >= 2 && crc != crc16x25::kGoodResidue))
        ++count.Bad;
      else if (length <= 2)
        ++count.Empty;
      else
        ++count.Dispatched;
      length = 0;
      crc = crc16x25::kInit;
      continue;
    }
    if (b == 0x7D) {
      if (i + 1 == aStream.size()) break;  // the escape waits for its partner
      const auto next = static_cast<uint8_t>(aStream[i + 1]);
      if (next == 0x5E || next == 0x5D) {
        b = next ^ 0x20;
        ++i;
      }
      // Any other byte after the escape: the escape is content, the byte is taken anew.
      crc = crc16x25::Update(crc, &b, 1);
      ++length;
      continue;
    }
    crc = crc16x25::Update(crc, &b, 1);
    ++length;
    checkBound();
  }
  return count;
}

namespace {

// A session without a port, in the start-up state the control word asks for.
class TSession {
 public:
  explicit TSession(uint64_t aControl)
      : Choose(aControl), Probing(aControl & 1), Modem(&Window, 0, br4800, evChar, dbEightBits, stbOneStopBits, false,
                                                      fcNone, prNoParity) {
    // The start-up probe counts packets with InitState on; afterwards the window sets the type.
    Modem.SetInitState(Probing);
    Modem.SetEvdoType(static_cast<TEvdoType>((aControl >> 1) % 6));
  }

  // The window's polling tick, now and then between reads: read-outs, the DRC compose or clear.
  void MaybeTick() {
    switch (Choose.Below(8)) {
      case 0:
        ReadLikeTheWindow(Modem);
        Modem.ComposeDRC();
        break;
      case 1:
        Modem.ClearDRC();
        break;
      case 2:
        Modem.SetTXPacketsCount(0);
        break;
      default:
        break;
    }
  }

  // Every frame that was completed reached the dispatcher once, or was counted as bad.
  void CheckAfterwards(uint64_t aDispatched, uint64_t aBad) {
    ReadLikeTheWindow(Modem);
    CheckRecords(Modem);
    CheckIdentity(Modem);
    Modem.ComposeDRC();
    Modem.ComposeDRC();
    ReadLikeTheWindow(Modem);
    Modem.ClearDRC();
    ReadLikeTheWindow(Modem);

    FUZZ_CHECK(static_cast<uint64_t>(Modem.CommonPacketsCount()) == aDispatched);
    FUZZ_CHECK(Modem.BadFramesCount() == aBad);
    FUZZ_CHECK(Modem.RXPacketsCount() <= aDispatched);
    FUZZ_CHECK(Modem.PacketsCount() >= 0 && static_cast<uint64_t>(Modem.PacketsCount()) <= aDispatched);
    if (!Probing) FUZZ_CHECK(Modem.PacketsCount() == 0);
    FUZZ_CHECK(Window.Posted <= aDispatched);
    FUZZ_CHECK(!Modem.Parsing());
  }

  TChooser Choose;
  const bool Probing;
  TCountingTarget Window;
  TModem Modem;
};

}  // namespace

void DriveModem(TByteView aStream, uint64_t aControl) {
  TSession session(aControl);
  for (size_t at = 0; at < aStream.size();) {
    const size_t n = NextReadSize(session.Choose, aStream.size() - at);
    session.Modem.ProcessReceivedBytes(aStream.substr(at, n));
    at += n;
    session.MaybeTick();
  }
  session.Modem.ProcessReceivedBytes({});  // an empty read changes nothing
  const TFrameCount expected = CountFrames(aStream);
  session.CheckAfterwards(expected.Dispatched, expected.Bad);
}

void DriveModemWithFrames(const std::vector<TByteString>& aFrames, uint64_t aControl) {
  TSession session(aControl);
  uint64_t dispatched = 0;
  for (const TByteString& frame : aFrames) {
    // A block of the frame's own size, so that any read past its end is caught.
    const std::unique_ptr<char[]> exact(new char[frame.size()]);
    std::copy(frame.begin(), frame.end(), exact.get());
    session.Modem.ParseFrame(TByteView(exact.get(), frame.size()));
    dispatched += frame.empty() ? 0 : 1;
    session.MaybeTick();
  }
  session.CheckAfterwards(dispatched, 0);
}

void CheckSplitting(TByteView aStream, uint64_t aControl) {
  TFrameSplitter whole;
  TFrameList wholeList;
  whole.Split(aStream, wholeList);
  const std::vector<TByteString> frames = Frames(wholeList);

  TChooser choose(aControl);
  TFrameSplitter pieces;
  TFrameList pieceList;
  std::vector<TByteString> pieceFrames;
  for (size_t at = 0; at < aStream.size();) {
    const size_t n = NextReadSize(choose, aStream.size() - at);
    pieceList.Clear();
    pieces.Split(aStream.substr(at, n), pieceList);
    for (TByteString& f : Frames(pieceList)) pieceFrames.push_back(std::move(f));
    at += n;
  }
  FUZZ_CHECK(pieceFrames == frames);
  FUZZ_CHECK(pieces.BadFrames() == whole.BadFrames());
  FUZZ_CHECK(pieces.PendingBytes() == whole.PendingBytes());
  // Bounded: at most one escaped byte beyond the limit waits for the check of the next run.
  FUZZ_CHECK(whole.PendingBytes() <= TFrameSplitter::kMaxFrameBytes + 1);

  const TFrameCount count = CountFrames(aStream);
  FUZZ_CHECK(frames.size() == count.Dispatched + count.Empty);
  FUZZ_CHECK(whole.BadFrames() == count.Bad);

  for (const TByteString& frame : frames) {
    TFrameSplitter again;
    TFrameList list;
    again.Split(FrameBytes(frame), list);
    FUZZ_CHECK(list.Count() == 1 && list[0] == frame && again.BadFrames() == 0 && again.PendingBytes() == 0);
  }
}

}  // namespace fuzz
