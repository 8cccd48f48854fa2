// The alignment unit's readings from the running monitor: the session's figures through the
// same copy-under-the-lock getters the polling cycle uses, and the cycle's own verdict on
// whether link data still arrives.
#pragma once

#include "align/AlignUnit.h"
#include "window/MainUnit.h"

class TSessionAlignSource final : public TAlignSource {
 public:
  // aWindow must outlive the source.
  explicit TSessionAlignSource(TMainFm& aWindow) : FWindow(aWindow) {}
  // RX: the session's RX power on EV-DO (none on 1x, which has no RX figure). DRC: the pilot
  // strength on 1x, the requested rate on EV-DO, as the DRC label shows them. Ec/Io: the 1x
  // searcher's first finger, the EV-DO active pilot's energy.
  // No data: on EV-DO the polling cycle's verdict (its no-data values); on 1x, whose pilot log
  // the cycle's reverse-link watch never counts, the same rule over the pilot log: none for
  // 2.5 s (25 reads).
  TAlignReading Read() override;

  static constexpr int kStaleReads = 25;

 private:
  bool PilotLogsStale(TModem& aModem);

  TMainFm& FWindow;
  uintptr_t FPilotLogs = 0;
  int FReadsWithoutPilotLog = kStaleReads;
};
