// Fuzz target: like modem_stream, but the harness puts every frame's CRC right before the
// session sees it, so that mutated content gets past the CRC check and into the parsers. The
// input is a stream in wire form without CRCs: escaped content, each frame ended by the flag.
// One input in two skips the framing and hands the frames to the dispatcher one by one.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "ModemChecks.h"
#include "protocol/FrameCodec.h"

namespace {

// The harness's own per-byte loop: left out of the coverage, which is about the code under test.
__attribute__((no_sanitize("coverage"))) TByteString Unescape(TByteView aRaw) {
  TByteString out;
  out.reserve(aRaw.size());
  for (size_t i = 0; i < aRaw.size(); ++i) {
    if (aRaw[i] == '\x7D' && i + 1 < aRaw.size() && (aRaw[i + 1] == '\x5E' || aRaw[i + 1] == '\x5D')) {
      out.push_back(static_cast<char>(aRaw[++i] ^ 0x20));
    } else {
      out.push_back(aRaw[i]);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const fuzz::TControlled input = fuzz::SplitControl(aData, aSize);
  std::vector<TByteString> frames;
  size_t start = 0;
  for (size_t flag = input.Data.find('\x7E'); flag != TByteView::npos; flag = input.Data.find('\x7E', start)) {
    frames.push_back(Unescape(input.Data.substr(start, flag - start)));
    start = flag + 1;
  }
  // Bit 6 of the control word: straight to the dispatcher, one frame at a time.
  if (input.Control & 0x40) {
    fuzz::DriveModemWithFrames(frames, input.Control);
    return 0;
  }
  TByteString stream;
  for (const TByteString& frame : frames) stream += FrameBytes(frame);
  stream += input.Data.substr(start);  // a frame still to come
  fuzz::DriveModem(stream, input.Control);
  return 0;
}
