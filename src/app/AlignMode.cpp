// The alignment mode: the unit, the session as its source, and the tone.
#include "app/AlignMode.h"

TAlignSettings AlignSettingsOf(const TMonitorOptions& aOptions) {
  TAlignSettings settings;
  settings.Figure = aOptions.AlignFigure;
  settings.Range = aOptions.AlignRange;
  return settings;
}

TAlignMode::TAlignMode(TMainFm& aWindow, TUiLoop& aLoop, TAlignSettings aSettings, bool aTone)
    : FLoop(aLoop), FSource(aWindow), FUnit(std::make_unique<TAlignUnit>(aLoop, FSource, std::move(aSettings), &FControl)) {
  FUnit->Start();
  if (!aTone) return;
  FTone = std::make_unique<TPulseTone>(FControl, [this, alive = FAlive](const std::string& aText) {
    // Comes on libpulse's thread: handed to the user-interface thread, unless the mode has gone.
    FLoop.Post([this, alive, aText] {
      if (!*alive) return;
      FNotice = aText;
      if (OnNotice) OnNotice(aText);
    });
  });
}

TAlignMode::~TAlignMode() {
  *FAlive = false;
  FTone.reset();
  FUnit->Stop();
}
