// The main window's 500 ms polling cycle: the session's figures into labels, charts, the
// signal icon, the link speeds and the histograms.
#include <cstdio>

#include "window/DisplayFormat.h"
#include "window/MainUnit.h"

namespace {

// Shown and counted when no reverse-link packets arrive.
constexpr float kNoTxPower = -60.39f;
constexpr float kNoRxPower = -100.0f;
// TX power at or below which the DRC statistics are cleared every cycle.
constexpr double kNoTxThreshold = -60.3;
// A larger TXPacketsCount starts again from 0.
constexpr uintptr_t kTxPacketsLimit = 4294967200u;
// Packets since the last reset needed for real values, and cycles without growth that make the
// values stale.
constexpr uintptr_t kLeastTxPackets = 5;
constexpr uintptr_t kStaleCycles = 5;
// Per-link kbit/s shown; more reads as 0.
constexpr uint32_t kLinkRateCap = 6000;
constexpr uint8_t kSearcherSleeping = 3;

// R, T and A are the RX, TX and DRC position classes; a mask holds one bit per class.
struct TIconRule {
  int R;
  uint8_t TClasses;
  uint8_t AClasses;
  int Icon;
};

constexpr uint8_t Classes(std::initializer_list<int> aClasses) {
  uint8_t mask = 0;
  for (int c : aClasses) mask = static_cast<uint8_t>(mask | (1u << c));
  return mask;
}

// The first matching rule wins; none matching gives icon 0.
constexpr TIconRule kIconRules[] = {
    {0, Classes({0}), Classes({0}), 0},
    {1, Classes({1, 2}), Classes({1, 2}), 1},
    {2, Classes({2}), Classes({2}), 2},
    {2, Classes({2, 3}), Classes({2, 3}), 3},
    {3, Classes({3}), Classes({3}), 5},
    {3, Classes({2, 3}), Classes({2, 3}), 4},
    {3, Classes({3}), Classes({1}), 4},
};

bool InClasses(uint8_t aMask, int32_t aClass) { return aClass >= 0 && aClass < 8 && (aMask & (1u << aClass)); }

uint32_t LinkKbps(uint32_t aTotalBits) {
  const uint32_t kbps = aTotalBits / 1000;
  return kbps > kLinkRateCap ? 0 : kbps;
}

}  // namespace

void TMainFm::ModemTimerTimer() {
  if (!FModem || !FModem->DevicePlugged() || !FModem->PortActive()) {
    ShowIcon(kNoDeviceIcon);
    PublishSample(0, 0, 0, true);
    return;
  }
  if (FModem->Parsing()) return;

  char cellLine[96];
  std::snprintf(cellLine, sizeof cellLine, "Cell: %4d Sect: %d Pn: %4d", FModem->CellNumber(), FModem->FaceNumber(),
                FModem->PnNumber());
  SetLabel(TMainLabel::Label6, cellLine);

  float tx = FModem->TotalTXPower();
  float rx = FModem->RXValue();

  // Does reverse-link data still arrive?
  bool noData = false;
  uintptr_t count = FModem->TXPacketsCount();
  if (count > kTxPacketsLimit) {
    FModem->SetTXPacketsCount(0);
    nTXPackets = 0;
    count = 0;
  }
  if (count > nTXPackets) {
    nTXPackets = count;
    if (count < kLeastTxPackets) {
      tx = kNoTxPower;
      rx = kNoRxPower;
      noData = true;
      FModem->ClearDRC();
    } else {
      nTXZeroes = 0;
      FModem->ComposeDRC();
    }
  } else {
    if (nTXZeroes < kStaleCycles) ++nTXZeroes;
    if (nTXZeroes == kStaleCycles) {
      tx = kNoTxPower;
      rx = kNoRxPower;
      noData = true;
      FModem->ClearDRC();
      FModem->SetTXPacketsCount(0);
      nTXPackets = 0;
    }
  }

  // Before the first reverse-link packet the figures are the records' zeroes, not measurements.
  if (count == 0) noData = true;

  SetLabel(TMainLabel::Label2, FModem->GetEvdoType());
  SetLabel(TMainLabel::Label7, FormatFloat("     TX: %6.1f", tx, FDecimalSeparator));
  if (static_cast<double>(tx) <= kNoTxThreshold) FModem->ClearDRC();
  FeedTxLine(tx);
  SetLabel(TMainLabel::Label5, FormatFloat("RX: %6.1f", rx, FDecimalSeparator));
  FeedRxScale(rx);

  float drc = 0;
  switch (FModem->EvdoType()) {
    case evtEv1X:
      // Each cycle the new pilot strength and the previous figure count equally.
      drc = (FModem->MaxStrengthPilot() + FPredDRC) / 2;
      FPredDRC = drc;
      SetLabel(TMainLabel::Label8, FormatFloat("    DRC: %6.1f", drc, FDecimalSeparator));
      FeedDrcLine1x(drc);
      break;
    case evtRev0:
    case evtRevA:
      drc = FModem->ARQDataA();
      SetLabel(TMainLabel::Label8, FormatFloat("    DRC: %6.1f", drc, FDecimalSeparator));
      FeedDrcLineRevA(drc);
      break;
    case evtRevB:
    case evtRevBplus:
      drc = FModem->ARQDataB();
      SetLabel(TMainLabel::Label8, FormatFloat("    DRC: %6.1f", drc, FDecimalSeparator));
      FeedDrcLineRevB(drc);
      break;
    case evtNone:
      break;
  }

  ShowSignalIcon();
  EvdoBForward = FModem->EvdoMultiCarrierSingleForward();
  EvdoBReverse = FModem->EvdoMultiCarrierSingleReverse();
  EvdoAForward = FModem->EvdoAForward();
  EvdoAReverse = FModem->EvdoAReverse();
  ShowLinkSpeeds();

  // A sleeping modem's figures are not counted.
  if (FModem->SearcherState() != kSearcherSleeping) {
    FTxQuality->AddValue(tx);
    FRxQuality->AddValue(rx);
    FDrcQuality->AddValue(drc);
    FDrcQuality->Sort(10);
    if (FReportFm) ReportActionExecute();
  }
  FView.ChartsChanged(ChartData());
  PublishSample(rx, tx, drc, noData);
}

void TMainFm::ShowSignalIcon() {
  if (!FModem->DevicePlugged()) {
    ShowIcon(kNoDeviceIcon);
    return;
  }
  if (FModem->SearcherState() == kSearcherSleeping) {
    SetLabel(TMainLabel::Label2, "Sleep");
    ShowIcon(kNoDeviceIcon);
    return;
  }
  int icon = 0;
  for (const TIconRule& rule : kIconRules)
    if (FRXPosition == rule.R && InClasses(rule.TClasses, FTXPosition) && InClasses(rule.AClasses, FARQPosition)) {
      icon = rule.Icon;
      break;
    }
  ShowIcon(icon);
}

void TMainFm::ShowLinkSpeeds() {
  uint32_t up = 0, down = 0;
  switch (FModem->EvdoType()) {
    case evtRev0:
    case evtRevA:
      up = LinkKbps(EvdoAReverse.TotalBytes);
      down = LinkKbps(EvdoAForward.TotalBytes);
      break;
    case evtRevB:
    case evtRevBplus:
      for (const CarrierLinkStat& carrier : EvdoBReverse.CarrData) up += LinkKbps(carrier.TotalBytes);
      for (const CarrierLinkStat& carrier : EvdoBForward.CarrData) down += LinkKbps(carrier.TotalBytes);
      break;
    case evtNone:
    case evtEv1X:
      return;
  }
  FUpKbps = up;
  FDownKbps = down;
  SetLabel(TMainLabel::Label3, FormatRate(up));
  SetLabel(TMainLabel::Label4, FormatRate(down));
}

std::string TMainFm::FormatRate(uint32_t aKbps) const { return ::FormatRate(aKbps, FDecimalSeparator); }
