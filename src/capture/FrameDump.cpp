// The frame dump: frames from each direction's byte stream, a session fed with the modem's,
// and the figures each frame set in it.
#include "capture/FrameDump.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <ostream>

#include "protocol/FrameCodec.h"
#include "protocol/FrameReader.h"
#include "protocol/Modem_Unit.h"

namespace {

struct TCodeName {
  uint16_t Code;
  const char* Name;
};

constexpr TCodeName kLogNames[] = {
    {0x1007, "1x paging channel"},     {0x102D, "1x pilot set"},
    {0x1069, "Rev A power"},           {0x106C, "EV-DO attempt counters"},
    {0x107C, "EV-DO access channel"},  {0x1080, "EV-DO serving sector"},
    {0x1088, "identity"},              {0x108B, "EV-DO pilot sets"},
    {0x108C, "Rev A slot DRC"},        {0x1192, "Rev A forward link"},
    {0x127E, "Rev A reverse link"},    {0x1281, "Rev A link marker"},
    {0x1298, "Rev B slot DRC"},        {0x129C, "Rev B carrier powers"},
    {0x129F, "Rev B reverse link"},    {0x12A0, "Rev B link marker"},
    {0x12A1, "Rev B searcher state"},  {0x12A2, "Rev B forward link"},
};

constexpr TCodeName kReplyNames[] = {
    {0x00, "version reply"}, {0x01, "ESN reply"},      {0x0C, "status reply"},
    {0x26, "NV item reply"}, {0x73, "log mask reply"}, {0x5D, "short log mask reply"},
};

constexpr uint16_t kOneXMaskBits = 0x00D8;
constexpr uint16_t kLoggingOffBits = 0x01E8;

const char* NameIn(const auto& aTable, uint16_t aCode) {
  for (const TCodeName& entry : aTable)
    if (entry.Code == aCode) return entry.Name;
  return nullptr;
}

std::string Hex(unsigned aValue, int aDigits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", aDigits, aValue);
  return text;
}

std::string UtcTime(int64_t aTimeUs) {
  const auto seconds = static_cast<time_t>(aTimeUs >= 0 ? aTimeUs / 1000000 : (aTimeUs - 999999) / 1000000);
  const auto micros = static_cast<int>(aTimeUs - static_cast<int64_t>(seconds) * 1000000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
  return text;
}

const char* DirectionText(TCaptureDirection aDirection) {
  switch (aDirection) {
    case TCaptureDirection::FromModem: return "modem";
    case TCaptureDirection::ToModem: return "monitor";
    case TCaptureDirection::Monitor: break;
  }
  return "mark";
}

// The shortest text that reads back as the same float, as the session holds it.
std::string Number(double aValue) {
  if (!std::isfinite(aValue)) return "null";
  char text[32];
  const auto value = static_cast<float>(aValue);
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string JsonString(const std::string& aText) {
  std::string out = "\"";
  for (const char c : aText) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", b);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string ValueText(const TDumpValue& aValue, bool aJson) {
  struct TVisitor {
    bool Json;
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return Number(v); }
    std::string operator()(const std::string& v) const { return Json ? JsonString(v) : v; }
    std::string operator()(const std::vector<int64_t>& v) const {
      std::string out = Json ? "[" : "";
      for (size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + std::to_string(v[i]);
      return Json ? out + "]" : out;
    }
    std::string operator()(const std::vector<double>& v) const {
      std::string out = Json ? "[" : "";
      for (size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + Number(v[i]);
      return Json ? out + "]" : out;
    }
  };
  return std::visit(TVisitor{aJson}, aValue);
}

// The carrier entry a Rev B link packet went to: the one holding the packet's channel.
template <class Record>
const CarrierLinkStat* CarrierOf(const Record& aRecord, const TFrameReader& aFrame) {
  const uint16_t channel = aFrame.U16(23) & 0x07FF;
  for (const CarrierLinkStat& carrier : aRecord.CarrData)
    if (carrier.Channel == channel) return &carrier;
  return nullptr;
}

class TDumper {
 public:
  explicit TDumper(std::function<void(const TDumpLine&)> aEmit)
      : FEmit(std::move(aEmit)),
        FSession(nullptr, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity) {}

  void Record(const TCaptureRecord& aRecord) {
    FLastTimeUs = aRecord.TimeUs;
    if (aRecord.Direction == TCaptureDirection::Monitor) {
      Mark(aRecord);
      return;
    }
    TFrameSplitter& splitter = aRecord.Direction == TCaptureDirection::FromModem ? FFromModem : FToModem;
    splitter.SplitEach(aRecord.Payload, [&](TByteView aFrame, bool aGood) {
      Frame(aRecord.TimeUs, aRecord.Direction, aFrame, aGood);
    });
  }

  // A frame whose closing flag never came.
  void Finish() {
    for (const auto& [splitter, direction] :
         {std::pair{&FFromModem, TCaptureDirection::FromModem}, std::pair{&FToModem, TCaptureDirection::ToModem}}) {
      if (splitter->PendingBytes() == 0) continue;
      TDumpLine line = Line(FLastTimeUs, direction, splitter->PendingBytes(), false);
      line.Kind = "unfinished";
      line.Name = "bytes without a closing flag";
      FEmit(line);
    }
  }

 private:
  TDumpLine Line(int64_t aTimeUs, TCaptureDirection aDirection, size_t aLength, bool aGood) const {
    TDumpLine line;
    line.TimeUs = aTimeUs;
    line.Direction = aDirection;
    line.Length = aLength;
    line.CrcGood = aGood;
    return line;
  }

  void Mark(const TCaptureRecord& aRecord) {
    TDumpLine line = Line(aRecord.TimeUs, aRecord.Direction, aRecord.Payload.size(), true);
    line.Kind = "mark";
    const TFrameReader mark(aRecord.Payload);
    switch (static_cast<TMonitorMark>(mark.U8(0))) {
      case TMonitorMark::ReaderStarted:
        line.Name = "reader started";
        break;
      case TMonitorMark::TimerTick:
        line.Name = "timer ran";
        line.Figures.emplace_back("timer", int64_t{mark.U8(1)});
        break;
      default:
        line.Name = "unknown mark";
        line.Figures.emplace_back("mark", int64_t{mark.U8(0)});
        break;
    }
    FEmit(line);
  }

  void Frame(int64_t aTimeUs, TCaptureDirection aDirection, TByteView aFrame, bool aGood) {
    // A damaged frame is shown with its CRC, which the session never strips from it.
    const TByteView content = aGood || aFrame.size() < 2 ? aFrame : aFrame.substr(0, aFrame.size() - 2);
    TDumpLine line = Line(aTimeUs, aDirection, content.size(), aGood);
    if (content.empty()) {
      line.Kind = "unknown";
      line.Name = "empty frame";
    } else if (aDirection == TCaptureDirection::ToModem) {
      Command(line, content);
    } else {
      ModemFrame(line, content, aGood);
    }
    FEmit(line);
  }

  static void Command(TDumpLine& aLine, TByteView aFrame) {
    const TFrameReader frame(aFrame);
    aLine.Code = Hex(frame.U8(0), 2);
    aLine.Kind = "command";
    switch (frame.U8(0)) {
      case 0x0C:
        aLine.Name = "status request";
        return;
      case 0x26:
        aLine.Name = "NV item read";
        aLine.Figures.emplace_back("item", Hex(frame.U16(1), 4));
        return;
      case 0x73:
        aLine.Name = "log mask";
        return;
      case 0x5D:
        aLine.Name = frame.U16(1) == kOneXMaskBits ? "1x log mask"
                     : frame.U16(1) == kLoggingOffBits ? "logging off"
                                                       : "short log mask";
        return;
      default:
        aLine.Kind = "unknown";
        aLine.Name = "unknown command";
        return;
    }
  }

  void ModemFrame(TDumpLine& aLine, TByteView aFrame, bool aGood) {
    const TFrameReader frame(aFrame);
    const uint8_t first = frame.U8(0);
    const char* name = nullptr;
    uint16_t code = 0;
    if (first == 0x10) {
      code = frame.U16(6);
      aLine.Kind = "log";
      aLine.Code = Hex(code, 4);
      name = NameIn(kLogNames, code);
    } else {
      aLine.Kind = "reply";
      aLine.Code = Hex(first, 2);
      name = NameIn(kReplyNames, first);
    }
    if (!name) {
      aLine.Name = first == 0x10 ? "log the session does not know" : "frame the session does not know";
      aLine.Kind = "unknown";
    } else {
      aLine.Name = name;
    }
    // A damaged frame is dropped, as the session drops it: it sets nothing.
    if (!aGood) return;
    FSession.ParseFrame(aFrame);
    if (!name) return;
    if (first == 0x10)
      LogFigures(aLine, code, frame);
    else
      ReplyFigures(aLine, frame);
  }

  void ReplyFigures(TDumpLine& aLine, const TFrameReader& aFrame) {
    auto& f = aLine.Figures;
    switch (aFrame.U8(0)) {
      case 0x01:
        f.emplace_back("esn", FSession.modemESN());
        break;
      case 0x0C:
        f.emplace_back("esn", FSession.modemESN());
        f.emplace_back("min", FSession.modemMIN());
        f.emplace_back("mode", int64_t{aFrame.U16(8)});
        f.emplace_back("link", FSession.GetEvdoType());
        break;
      case 0x26:
        f.emplace_back("item", Hex(aFrame.U16(1), 4));
        if (aFrame.U8(1) == 0x20) f.emplace_back("dn", FSession.modemDN());
        if (aFrame.U8(1) == 0x21) {
          f.emplace_back("lac", FSession.modemLAC());
          f.emplace_back("imsi", FSession.modemIMSI());
        }
        break;
      default:
        break;
    }
  }

  template <class Record>
  void CarrierLink(TDumpLine& aLine, const Record& aRecord, const TFrameReader& aFrame) {
    auto& f = aLine.Figures;
    f.emplace_back("sequence", int64_t{aRecord.Sequence});
    if (const CarrierLinkStat* c = CarrierOf(aRecord, aFrame)) {
      f.emplace_back("channel", int64_t{c->Channel});
      f.emplace_back("total", int64_t{c->PredTotalBytes});
      f.emplace_back("carried", int64_t{c->TotalBytes});
      f.emplace_back("drc", int64_t{c->DRC});
    }
  }

  void LogFigures(TDumpLine& aLine, uint16_t aCode, const TFrameReader& aFrame) {
    auto& f = aLine.Figures;
    switch (aCode) {
      case 0x1007: {
        const auto p = FSession.PagingChannelMessage();
        f.emplace_back("base", int64_t{p.base_id});
        f.emplace_back("sector", int64_t{p.sector_id});
        break;
      }
      case 0x102D: {
        const auto p = FSession.PilotSetData();
        f.emplace_back("pn", int64_t{p.PilotPnOffset});
        f.emplace_back("rx_agc", double{p.RX_AGC});
        f.emplace_back("tx", double{p.TX_AGC});
        f.emplace_back("pilot", double{FSession.MaxStrengthPilot()});
        f.emplace_back("fingers", int64_t{p.NumberOfFingers});
        break;
      }
      case 0x1069: {
        const auto a = FSession.CarrDataRevA();
        f.emplace_back("rx", double{a.RxPowerAntenna_0});
        f.emplace_back("rx1", double{a.RxPowerAntenna_1});
        f.emplace_back("tx", double{a.TxTotal});
        f.emplace_back("tx_pilot", double{a.TxPilot});
        break;
      }
      case 0x106C:
        f.emplace_back("cell", int64_t{FSession.CellNumber()});
        f.emplace_back("sector", int64_t{FSession.FaceNumber()});
        f.emplace_back("pn", int64_t{FSession.PnNumber()});
        f.emplace_back("success", int64_t{FSession.SuccessCount()});
        f.emplace_back("failure", int64_t{FSession.FailureCount()});
        f.emplace_back("attempts", int64_t{FSession.AttemptsCount()});
        break;
      case 0x107C: {
        const auto a = FSession.SignalingAccessChannel();
        f.emplace_back("bts", int64_t{a.BtsID});
        f.emplace_back("sector", int64_t{a.SectorID});
        f.emplace_back("pn", int64_t{a.PilotPn});
        f.emplace_back("channel", int64_t{a.ChannelNumber});
        break;
      }
      case 0x1080:
        f.emplace_back("cell", int64_t{FSession.CellNumber()});
        f.emplace_back("sector", int64_t{FSession.FaceNumber()});
        f.emplace_back("pn", int64_t{FSession.PnNumber()});
        break;
      case 0x1088:
        f.emplace_back("esn", FSession.modemESN());
        break;
      case 0x108B: {
        const auto n = FSession.NeighborData();
        f.emplace_back("channel", int64_t{n.Channel});
        f.emplace_back("pn", int64_t{n.APilotPn});
        f.emplace_back("energy", double{n.APilotEng});
        f.emplace_back("candidates", int64_t{n.CCount});
        f.emplace_back("neighbors", int64_t{n.NCount});
        break;
      }
      case 0x108C: {
        const auto a = FSession.EvdoArqDataA();
        std::vector<int64_t> slots0, slots1;
        for (const ArqSlotA& s : a.SlotDataArray_0) slots0.push_back(s.Drc);
        for (const ArqSlotA& s : a.SlotDataArray_1) slots1.push_back(s.Drc);
        f.emplace_back("drc", double{FSession.ARQDataA()});
        f.emplace_back("slots0", std::move(slots0));
        f.emplace_back("slots1", std::move(slots1));
        break;
      }
      case 0x1192: {
        const auto a = FSession.EvdoAForward();
        f.emplace_back("sequence", int64_t{a.Sequence});
        f.emplace_back("total", int64_t{a.PredTotalBytes});
        f.emplace_back("carried", int64_t{a.TotalBytes});
        break;
      }
      case 0x127E: {
        const auto a = FSession.EvdoAReverse();
        f.emplace_back("total", int64_t{a.PredTotalBytes});
        f.emplace_back("carried", int64_t{a.TotalBytes});
        f.emplace_back("drc", int64_t{a.DRC});
        break;
      }
      case 0x1281:
      case 0x12A0:
        f.emplace_back("link", FSession.GetEvdoType());
        break;
      case 0x1298: {
        const auto b = FSession.EvdoArqDataB();
        f.emplace_back("drc", double{FSession.ARQDataB()});
        f.emplace_back("carriers", int64_t{b.NumCarriers});
        break;
      }
      case 0x129C: {
        const auto b = FSession.CarrDataRevB();
        std::vector<double> rx, tx;
        for (int i = 0; i < std::min<int>(b.numData, CarrierData_RevB::kMaxCarriers); ++i) {
          rx.push_back(b.carrArray[i].RxPowerAntenna_0);
          tx.push_back(b.carrArray[i].TxTotal);
        }
        f.emplace_back("tx_total", double{b.TotalTxPower});
        f.emplace_back("rx", std::move(rx));
        f.emplace_back("tx", std::move(tx));
        break;
      }
      case 0x129F:
        CarrierLink(aLine, FSession.EvdoMultiCarrierSingleReverse(), aFrame);
        break;
      case 0x12A1:
        f.emplace_back("searcher", int64_t{FSession.MultiCarrPilotSets().SearcherState});
        break;
      case 0x12A2:
        CarrierLink(aLine, FSession.EvdoMultiCarrierSingleForward(), aFrame);
        break;
      default:
        break;
    }
  }

  std::function<void(const TDumpLine&)> FEmit;
  TModem FSession;
  TFrameSplitter FFromModem, FToModem;
  int64_t FLastTimeUs = 0;
};

}  // namespace

namespace {

// A mark of the monitor has no CRC.
const char* CrcText(const TDumpLine& aLine) {
  if (aLine.Direction == TCaptureDirection::Monitor) return nullptr;
  return aLine.CrcGood ? "good" : "damaged";
}

}  // namespace

std::string DumpLineText(const TDumpLine& aLine) {
  const char* crc = CrcText(aLine);
  char head[96];
  std::snprintf(head, sizeof head, "%s %-7s %5zu %-7s ", UtcTime(aLine.TimeUs).c_str(), DirectionText(aLine.Direction),
                aLine.Length, crc ? crc : "-");
  std::string text = head + aLine.Kind;
  if (!aLine.Code.empty()) text += " " + aLine.Code;
  text += " " + aLine.Name;
  if (!aLine.Figures.empty()) {
    text += " |";
    for (const auto& [key, value] : aLine.Figures) text += " " + key + " " + ValueText(value, false);
  }
  return text;
}

std::string DumpLineJson(const TDumpLine& aLine) {
  std::string json = "{\"time\":" + JsonString(UtcTime(aLine.TimeUs)) + ",\"dir\":" +
                     JsonString(DirectionText(aLine.Direction)) + ",\"length\":" + std::to_string(aLine.Length);
  if (const char* crc = CrcText(aLine)) json += ",\"crc\":" + JsonString(crc);
  json += ",\"kind\":" + JsonString(aLine.Kind);
  if (!aLine.Code.empty()) json += ",\"code\":" + JsonString(aLine.Code);
  json += ",\"name\":" + JsonString(aLine.Name) + ",\"figures\":{";
  for (size_t i = 0; i < aLine.Figures.size(); ++i)
    json += (i ? "," : "") + JsonString(aLine.Figures[i].first) + ":" + ValueText(aLine.Figures[i].second, true);
  return json + "}}";
}

TCaptureReader::TResult DumpRecords(TCaptureReader& aReader, const std::function<void(const TDumpLine&)>& aLine) {
  TDumper dumper(aLine);
  TCaptureRecord record;
  for (;;) {
    const TCaptureReader::TResult result = aReader.Next(record);
    if (result == TCaptureReader::TResult::Record) {
      dumper.Record(record);
      continue;
    }
    // A damaged record leaves nothing to trust after it, not even a frame begun before it.
    if (result != TCaptureReader::TResult::Damaged) dumper.Finish();
    return result;
  }
}

int DumpCapture(TCaptureReader& aReader, std::ostream& aOut, std::ostream& aErrors, bool aJson) {
  const TCaptureReader::TResult result = DumpRecords(
      aReader, [&](const TDumpLine& aLine) { aOut << (aJson ? DumpLineJson(aLine) : DumpLineText(aLine)) << '\n'; });
  aOut.flush();
  switch (result) {
    case TCaptureReader::TResult::CutOff:
      aErrors << "cdma-monitor: " << aReader.Problem() << "; the records before it are listed\n";
      return 0;
    case TCaptureReader::TResult::Damaged:
      aErrors << "cdma-monitor: " << aReader.Problem() << '\n';
      return 2;
    default:
      return 0;
  }
}

int DumpCaptureFile(const std::string& aPath, std::ostream& aOut, std::ostream& aErrors, bool aJson) {
  try {
    TCaptureReader reader(aPath);
    return DumpCapture(reader, aOut, aErrors, aJson);
  } catch (const ECaptureError& e) {
    aErrors << "cdma-monitor: " << e.what() << '\n';
    return 2;
  }
}
