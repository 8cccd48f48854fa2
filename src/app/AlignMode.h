// The alignment mode as both views run it: the unit reading the running monitor, and the tone
// on the sound server unless it was turned off.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "align/AlignUnit.h"
#include "align/SessionAlignSource.h"
#include "app/CommandLine.h"
#include "app/PulseTone.h"

// The unit's settings from the command line (--align-figure, --align-range).
TAlignSettings AlignSettingsOf(const TMonitorOptions& aOptions);

class TAlignMode {
 public:
  // aWindow and aLoop must outlive the mode. Sampling starts at once; with aTone the tone
  // connects to the sound server on its own thread.
  TAlignMode(TMainFm& aWindow, TUiLoop& aLoop, TAlignSettings aSettings, bool aTone);
  ~TAlignMode();
  TAlignMode(const TAlignMode&) = delete;
  TAlignMode& operator=(const TAlignMode&) = delete;

  TAlignUnit& Unit() { return *FUnit; }
  // What the tone is told, after every sample.
  const TToneControl& Control() const { return FControl; }
  // The tone's output; none with the tone off.
  TPulseTone* Tone() { return FTone.get(); }
  // On the user-interface thread, once: no sound server, or the output went away.
  std::function<void(const std::string&)> OnNotice;
  // The notice given so far, if any (for a view that comes later).
  const std::string& Notice() const { return FNotice; }

 private:
  TUiLoop& FLoop;
  TSessionAlignSource FSource;
  TToneControl FControl;
  std::unique_ptr<TAlignUnit> FUnit;
  std::string FNotice;
  // Read and written on the user-interface thread only; libpulse's thread only copies the pointer.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  std::unique_ptr<TPulseTone> FTone;  // last: its thread stops first
};
