// Fuzz target: the bytes the monitor writes to the simulated modem, through its command
// de-framer and its command replies. The same bytes in one write and in many give the same
// commands; every command comes back whole when framed again; every reply is what the command
// asks for. The input's head also serves as the identity digits of the modem's command line,
// checked against the monitor's own decoders.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/Modem_Unit.h"
#include "sim/SimCommands.h"
#include "sim/SimWire.h"

namespace {

using sim::TCommandDeframer;

void CheckReply(TByteView aCommand, const sim::TCommandOutcome& aOutcome, uint16_t aModeWord) {
  if (aCommand.empty()) {
    FUZZ_CHECK(aOutcome.Reply.empty() && !aOutcome.NewMask && !aOutcome.BadCommand);
    return;
  }
  FUZZ_CHECK(!aOutcome.Reply.empty());
  const auto code = static_cast<uint8_t>(aCommand[0]);
  if (aOutcome.BadCommand) {
    FUZZ_CHECK(!aOutcome.NewMask);
    FUZZ_CHECK(aOutcome.Reply == TByteString("\x13", 1) + TByteString(aCommand));
    return;
  }
  switch (code) {
    case 0x0C:
      FUZZ_CHECK(aOutcome.Reply.size() == 47 && aOutcome.Reply[0] == 0x0C);
      FUZZ_CHECK((static_cast<uint8_t>(aOutcome.Reply[8]) | static_cast<uint8_t>(aOutcome.Reply[9]) << 8) == aModeWord);
      break;
    case 0x26:
      FUZZ_CHECK(aOutcome.Reply.size() >= 12 && aOutcome.Reply.size() >= aCommand.size());
      FUZZ_CHECK(aOutcome.Reply.substr(0, 3) == aCommand.substr(0, 3));
      break;
    case 0x73:
      FUZZ_CHECK(aCommand.size() >= 16 && aOutcome.Reply.size() == aCommand.size() + 4);
      FUZZ_CHECK(aOutcome.Reply.substr(20) == aCommand.substr(16));
      break;
    case 0x5D:
      FUZZ_CHECK(aOutcome.NewMask && aOutcome.Reply == aCommand);
      break;
    default:
      FUZZ_CHECK(false);  // anything else must be a bad command
  }
  if (aOutcome.NewMask) {
    FUZZ_CHECK(code == 0x73 || code == 0x5D);
    FUZZ_CHECK(!aOutcome.NewMask->Enabled(0x0FFF) && !aOutcome.NewMask->Enabled(0x2000));
  }
}

bool AllDigits(std::string_view aText) {
  return std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The identity the simulated modem is given on its command line goes through its encoders and
// comes back unchanged through the monitor's decoders, or is refused.
void CheckIdentityText(TByteView aText) {
  const std::string min(aText.substr(0, 7));
  try {
    const uint32_t value = sim::EncodeMin1(min);
    FUZZ_CHECK(min.size() == 7 && AllDigits(min));
    FUZZ_CHECK(value < (1u << 24) && DecodeMin1(value) == min);
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(min.size() != 7 || !AllDigits(min));
  }
  const std::string lac(aText.substr(0, 3));
  uint16_t word = 0;
  try {
    word = sim::EncodeLacWord(lac);
    FUZZ_CHECK(lac.size() == 3 && AllDigits(lac));
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(lac.size() != 3 || !AllDigits(lac));
    return;
  }
  TModem modem(nullptr, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);
  modem.ParseFrame(Bytes({0x26, 0x21, 0x00, 0x00, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)}));
  FUZZ_CHECK(modem.modemLAC() == lac);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const fuzz::TControlled input = fuzz::SplitControl(aData, aSize);

  TCommandDeframer whole;
  TCommandDeframer::TResult wholeResult;
  whole.Feed(input.Data, wholeResult);

  fuzz::TChooser choose(input.Control);
  TCommandDeframer pieces;
  TCommandDeframer::TResult pieceResult;
  for (size_t at = 0; at < input.Data.size();) {
    const size_t n = fuzz::NextReadSize(choose, input.Data.size() - at);
    pieces.Feed(input.Data.substr(at, n), pieceResult);
    at += n;
  }
  FUZZ_CHECK(pieceResult.Commands == wholeResult.Commands);
  FUZZ_CHECK(pieceResult.BadCrc == wholeResult.BadCrc && pieceResult.Overlong == wholeResult.Overlong);

  sim::TDeviceIdentity identity;
  identity.Esn = static_cast<uint32_t>(input.Control);
  identity.Min1 = static_cast<uint32_t>(input.Control >> 8) & 0xFFFFFF;
  identity.Dn1 = static_cast<uint32_t>(input.Control >> 32) & 0xFFFFFF;
  identity.LacWord = static_cast<uint16_t>(input.Control >> 16);
  const auto modeWord = static_cast<uint16_t>(input.Control >> 48);
  for (const TByteString& command : wholeResult.Commands) {
    const TByteString frame = sim::EncodeFrame(command);
    if (frame.size() - 1 <= TCommandDeframer::kMaxFrame) {
      TCommandDeframer again;
      TCommandDeframer::TResult againResult;
      again.Feed(frame, againResult);
      FUZZ_CHECK(againResult.Commands.size() == 1 && againResult.Commands[0] == command && againResult.BadCrc == 0);
    }
    CheckReply(command, sim::HandleCommand(command, identity, modeWord), modeWord);
  }
  CheckIdentityText(input.Data);
  return 0;
}
