// Reading the session for the alignment unit.
#include "align/SessionAlignSource.h"

namespace {

constexpr uint8_t kSearcherSleeping = 3;

}  // namespace

bool TSessionAlignSource::PilotLogsStale(TModem& aModem) {
  // Counted by the 1x pilot log (and the EV-DO link statistics, which a 1x link does not send).
  const uintptr_t logs = aModem.RXPacketsCount();
  if (logs != FPilotLogs) {
    FPilotLogs = logs;
    FReadsWithoutPilotLog = 0;
  } else if (FReadsWithoutPilotLog < kStaleReads) {
    ++FReadsWithoutPilotLog;
  }
  return FReadsWithoutPilotLog >= kStaleReads;
}

TAlignReading TSessionAlignSource::Read() {
  TAlignReading r;
  TModem& modem = FWindow.Modem();
  r.Present = modem.DevicePlugged() && modem.PortActive();
  if (!r.Present) return r;
  // The cycle decides whether link data still arrives; between its ticks its last word holds.
  const TCycleSample& cycle = FWindow.LastSample();
  r.LinkType = modem.EvdoType();
  r.NoData = r.LinkType == evtEv1X ? PilotLogsStale(modem) : !cycle.Present || cycle.NoData;
  r.Sleeping = modem.SearcherState() == kSearcherSleeping;
  r.LinkText = modem.GetEvdoType();
  r.Cell = modem.CellNumber();
  r.Sector = modem.FaceNumber();
  r.Pn = modem.PnNumber();

  auto& figures = r.Figures;
  const auto at = [&figures](TAlignFigure aFigure) -> std::optional<float>& {
    return figures[static_cast<size_t>(aFigure)];
  };
  switch (r.LinkType) {
    case evtEv1X: {
      // The searcher's first finger: 0 only after a log without fingers, which measured nothing.
      const float pilot = modem.MaxStrengthPilot();
      if (pilot != 0) at(TAlignFigure::Drc) = at(TAlignFigure::EcIo) = pilot;
      break;
    }
    case evtRev0:
    case evtRevA:
    case evtRevB:
    case evtRevBplus: {
      at(TAlignFigure::Rx) = modem.RXValue();
      at(TAlignFigure::Drc) = r.LinkType == evtRevB || r.LinkType == evtRevBplus ? modem.ARQDataB() : modem.ARQDataA();
      // A pilot's energy relative to all received is below 0 dB; 0 is the record's "no pilot".
      const float active = modem.NeighborData().APilotEng;
      if (active < 0) at(TAlignFigure::EcIo) = active;
      break;
    }
    case evtNone:
      break;
  }
  return r;
}
