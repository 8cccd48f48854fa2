// The diagnostic frame codec: command texts to escaped, CRC-framed bytes, and a received byte
// stream back to checked frames.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/ByteString.h"

constexpr uint8_t kFrameFlag = 0x7E;
constexpr uint8_t kFrameEscape = 0x7D;

// A command text that cannot be composed; nothing has been written when it is thrown.
class ECommandFormatError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// "0C" -> 0C 14 3A 7E. Throws ECommandFormatError for an odd length ("Неверный формат комманды
// (mod 2) > 0") or a character that is not a hexadecimal digit.
TByteString ComposeCommand(TByteView aCommand);

// Content bytes followed by their CRC (low byte first), escaped, and the flag.
TByteString FrameBytes(TByteView aContent);

// The frames of one read, stored back to back so that a read costs no allocation once warm.
class TFrameList {
 public:
  void Clear() {
    FBytes.clear();
    FSpans.clear();
  }
  void Add(TByteView aFrame) {
    FSpans.emplace_back(FBytes.size(), aFrame.size());
    FBytes.append(aFrame);
  }
  size_t Count() const { return FSpans.size(); }
  TByteView operator[](size_t aIndex) const {
    return TByteView(FBytes).substr(FSpans[aIndex].first, FSpans[aIndex].second);
  }

 private:
  TByteString FBytes;
  std::vector<std::pair<size_t, size_t>> FSpans;
};

// Splits a received byte stream at the flags, unescapes, checks and strips the CRC. Bytes after
// the last flag of a read are kept for the next one, so a frame arriving in any number of pieces
// comes out whole, once. A frame whose CRC fails is dropped and counted; so is a run of more than
// kMaxFrameBytes without a flag, after which the splitter waits for the next flag.
class TFrameSplitter {
 public:
  static constexpr size_t kMaxFrameBytes = 64 * 1024;

  // Appends every frame completed by aBytes to aFrames (empty frames included: two flags in a
  // row, or a frame whose content is just its CRC).
  void Split(TByteView aBytes, TFrameList& aFrames);
  // As Split, with every frame in order: aGood false for one dropped as damaged, whose bytes are
  // then its unescaped content with the CRC (for a run without a flag, the bound's worth).
  void SplitEach(TByteView aBytes, const std::function<void(TByteView aFrame, bool aGood)>& aOnFrame);
  // Drops a partial frame, e.g. when the port is reopened.
  void Reset();

  uint64_t BadFrames() const { return FBadFrames; }
  size_t PendingBytes() const { return FFrame.size(); }

 private:
  template <class TSink>
  void SplitInto(TByteView aBytes, TSink& aSink);
  template <class TSink>
  void EndFrame(TSink& aSink);

  TByteString FFrame;  // unescaped content of the frame in progress
  uint16_t FCrc = 0xFFFF;
  bool FEscapePending = false;
  bool FDiscarding = false;
  uint64_t FBadFrames = 0;
};
