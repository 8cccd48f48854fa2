// Fuzz target: the splitter at its bound. The input's bytes are cut in two and a run without a
// flag, about as long as the bound allows, is put between the halves: plain bytes, escaped pairs,
// or the input's own bytes over and over. Then the same checks as frame_codec. Kept apart from
// frame_codec because each input here costs as much as a thousand of those.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "ModemChecks.h"
#include "protocol/FrameCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const fuzz::TControlled input = fuzz::SplitControl(aData, aSize);
  fuzz::TChooser choose(input.Control);
  // Unescaped bytes of the run: from a little under the bound to a little over it.
  const size_t length = TFrameSplitter::kMaxFrameBytes - 24 + choose.Below(48);
  TByteString run;
  switch (choose.Below(3)) {
    case 0:
      run.assign(length, static_cast<char>(choose.Below(0x7D)));
      break;
    case 1:
      for (size_t i = 0; i < length; ++i) run += choose.OneIn(2) ? "\x7D\x5E" : "\x7D\x5D";
      break;
    default:
      for (size_t i = 0; run.size() < length; ++i) {
        const char c = input.Data.empty() ? 'x' : input.Data[i % input.Data.size()];
        run.push_back(c == '\x7E' ? '\x7D' : c);
      }
      break;
  }
  const size_t cut = choose.Below(input.Data.size() + 1);
  TByteString stream(input.Data.substr(0, cut));
  stream += run;
  stream += input.Data.substr(cut);
  fuzz::CheckSplitting(stream, choose.Next());
  return 0;
}
