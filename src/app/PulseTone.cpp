// The alignment tone's output through libpulse's threaded main loop.
#include "app/PulseTone.h"

#include <pulse/pulseaudio.h>

#include <span>

namespace {

// A short buffer on the server: a new pitch is heard within tens of milliseconds.
constexpr pa_usec_t kTargetLatencyUs = 30000;
constexpr pa_usec_t kRequestUs = 10000;

constexpr pa_sample_spec kFormat{PA_SAMPLE_S16LE, TPulseTone::kSampleRate, 1};

std::string ErrorText(pa_context* aContext) { return pa_strerror(aContext ? pa_context_errno(aContext) : PA_ERR_UNKNOWN); }

}  // namespace

TPulseTone::TPulseTone(TToneControl& aControl, std::function<void(const std::string&)> aOnNotice)
    : FControl(aControl), FOnNotice(std::move(aOnNotice)) {
  FMainloop = pa_threaded_mainloop_new();
  if (!FMainloop) {
    Notice("no sound server (the sound library did not start); the alignment runs silent");
    return;
  }
  FContext = pa_context_new(pa_threaded_mainloop_get_api(FMainloop), "cdma-monitor");
  if (!FContext) {
    Notice("no sound server (the sound library did not start); the alignment runs silent");
    return;
  }
  pa_context_set_state_callback(FContext, &TPulseTone::ContextState, this);
  if (pa_context_connect(FContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    Notice("no sound server (" + ErrorText(FContext) + "); the alignment runs silent");
    return;
  }
  pa_threaded_mainloop_start(FMainloop);
}

TPulseTone::~TPulseTone() {
  if (!FMainloop) return;
  pa_threaded_mainloop_lock(FMainloop);
  FClosing = true;
  if (FStream) {
    pa_stream_set_state_callback(FStream, nullptr, nullptr);
    pa_stream_set_write_callback(FStream, nullptr, nullptr);
    pa_stream_disconnect(FStream);
    pa_stream_unref(FStream);
    FStream = nullptr;
  }
  if (FContext) {
    pa_context_set_state_callback(FContext, nullptr, nullptr);
    pa_context_disconnect(FContext);
    pa_context_unref(FContext);
    FContext = nullptr;
  }
  pa_threaded_mainloop_unlock(FMainloop);
  pa_threaded_mainloop_stop(FMainloop);
  pa_threaded_mainloop_free(FMainloop);
}

std::optional<uint64_t> TPulseTone::LatencyUs() const {
  const int64_t latency = FLatencyUs;
  if (latency < 0) return std::nullopt;
  return static_cast<uint64_t>(latency);
}

void TPulseTone::Notice(const std::string& aText) {
  if (FNoticed) return;
  FNoticed = true;
  if (FOnNotice) FOnNotice(aText);
}

void TPulseTone::ContextState(pa_context* aContext, void* aSelf) {
  auto* self = static_cast<TPulseTone*>(aSelf);
  if (self->FClosing) return;
  switch (pa_context_get_state(aContext)) {
    case PA_CONTEXT_READY:
      self->OpenStream();
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      if (self->FStream)
        self->Notice("the sound output went away (" + ErrorText(aContext) + "); the tone has stopped");
      else
        self->Notice("no sound server (" + ErrorText(aContext) + "); the alignment runs silent");
      self->FPlaying = false;
      break;
    default:
      break;
  }
}

void TPulseTone::OpenStream() {
  FStream = pa_stream_new(FContext, "Alignment tone", &kFormat, nullptr);
  if (!FStream) {
    Notice("no sound output (" + ErrorText(FContext) + "); the alignment runs silent");
    return;
  }
  pa_stream_set_state_callback(FStream, &TPulseTone::StreamState, this);
  pa_stream_set_write_callback(FStream, &TPulseTone::StreamWrite, this);
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kTargetLatencyUs, &kFormat));
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(kRequestUs, &kFormat));
  attr.fragsize = static_cast<uint32_t>(-1);
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_playback(FStream, nullptr, &attr, flags, nullptr, nullptr) < 0)
    Notice("no sound output (" + ErrorText(FContext) + "); the alignment runs silent");
}

void TPulseTone::StreamState(pa_stream* aStream, void* aSelf) {
  auto* self = static_cast<TPulseTone*>(aSelf);
  if (self->FClosing) return;
  switch (pa_stream_get_state(aStream)) {
    case PA_STREAM_READY:
      self->FPlaying = true;
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      self->FPlaying = false;
      self->Notice("the sound output went away (" + ErrorText(self->FContext) + "); the tone has stopped");
      break;
    default:
      break;
  }
}

void TPulseTone::StreamWrite(pa_stream* aStream, size_t aBytes, void* aSelf) {
  auto* self = static_cast<TPulseTone*>(aSelf);
  void* data = nullptr;
  size_t bytes = aBytes;
  if (pa_stream_begin_write(aStream, &data, &bytes) < 0 || !data) return;
  const size_t frames = bytes / sizeof(int16_t);
  self->FSynth.Render(self->FControl.Get(), std::span(static_cast<int16_t*>(data), frames));
  pa_stream_write(aStream, data, frames * sizeof(int16_t), nullptr, 0, PA_SEEK_RELATIVE);
  pa_usec_t latency = 0;
  int negative = 0;
  if (pa_stream_get_latency(aStream, &latency, &negative) == 0) self->FLatencyUs = negative ? 0 : static_cast<int64_t>(latency);
}
