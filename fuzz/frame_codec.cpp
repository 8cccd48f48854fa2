// Fuzz target: the frame codec on its own. The same bytes split in one read and in many give
// the same frames; every frame survives a round trip through the encoder; the counts agree with
// an independent de-framer; a command text either composes to a frame that splits back to its
// bytes or is refused.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "ModemChecks.h"
#include "protocol/FrameCodec.h"

namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

void CheckCommandText(TByteView aText) {
  bool wellFormed = aText.size() % 2 == 0;
  for (char c : aText) wellFormed = wellFormed && IsHexDigit(c);
  TByteString frame;
  try {
    frame = ComposeCommand(aText);
  } catch (const ECommandFormatError&) {
    FUZZ_CHECK(!wellFormed);
    return;
  }
  FUZZ_CHECK(wellFormed);
  FUZZ_CHECK(!frame.empty() && frame.back() == '\x7E' && frame.find('\x7E') == frame.size() - 1);
  TFrameSplitter splitter;
  TFrameList list;
  splitter.Split(frame, list);
  FUZZ_CHECK(list.Count() == 1 && list[0].size() == aText.size() / 2 && splitter.BadFrames() == 0);
  for (size_t i = 0; i < list[0].size(); ++i)
    FUZZ_CHECK(static_cast<uint8_t>(list[0][i]) == std::stoul(std::string(aText.substr(2 * i, 2)), nullptr, 16));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const fuzz::TControlled input = fuzz::SplitControl(aData, aSize);
  const TByteView stream = input.Data;

  fuzz::CheckSplitting(stream, input.Control);
  CheckCommandText(input.Data.substr(0, 2048));
  return 0;
}
