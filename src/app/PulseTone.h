// The alignment tone on the desktop's sound server (PulseAudio, or PipeWire through its PulseAudio
// interface): a playback stream fed from libpulse's own thread, so that neither the window nor the
// session's reader ever waits for audio.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "align/ToneSynth.h"

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

class TPulseTone {
 public:
  static constexpr int kSampleRate = 48000;

  // Connects to the sound server (PULSE_SERVER, else the user's own; a server is never started)
  // and plays what aControl says until destroyed. aOnNotice is called at most once, on libpulse's
  // thread: when there is no sound server (the tone then stays silent) or when the output goes
  // away while playing (the tone then ends). aControl must outlive this object.
  TPulseTone(TToneControl& aControl, std::function<void(const std::string&)> aOnNotice);
  // Disconnects and joins libpulse's thread; that thread never blocks, so this returns at once.
  ~TPulseTone();
  TPulseTone(const TPulseTone&) = delete;
  TPulseTone& operator=(const TPulseTone&) = delete;

  // Whether a stream is connected and playing.
  bool Playing() const { return FPlaying; }
  // The stream's latency on the server as last measured, in microseconds.
  std::optional<uint64_t> LatencyUs() const;

 private:
  static void ContextState(pa_context* aContext, void* aSelf);
  static void StreamState(pa_stream* aStream, void* aSelf);
  static void StreamWrite(pa_stream* aStream, size_t aBytes, void* aSelf);
  void OpenStream();
  void Notice(const std::string& aText);

  TToneControl& FControl;
  std::function<void(const std::string&)> FOnNotice;
  TToneSynth FSynth{kSampleRate};  // libpulse's thread only
  pa_threaded_mainloop* FMainloop = nullptr;
  pa_context* FContext = nullptr;
  pa_stream* FStream = nullptr;
  bool FNoticed = false;  // libpulse's thread only
  bool FClosing = false;  // under the mainloop's lock
  std::atomic<bool> FPlaying{false};
  std::atomic<int64_t> FLatencyUs{-1};
};
