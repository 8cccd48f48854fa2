// Frame composition and splitting.
#include "protocol/FrameCodec.h"

#include "common/Crc16.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendEscaped(TByteString& aOut, uint8_t aByte) {
  if (aByte == kFrameFlag || aByte == kFrameEscape) {
    aOut.push_back(static_cast<char>(kFrameEscape));
    aOut.push_back(static_cast<char>(aByte ^ 0x20));
  } else {
    aOut.push_back(static_cast<char>(aByte));
  }
}

}  // namespace

TByteString FrameBytes(TByteView aContent) {
  const uint16_t crc = crc16x25::Compute(aContent.data(), aContent.size());
  TByteString frame;
  frame.reserve(aContent.size() + 8);
  for (char c : aContent) AppendEscaped(frame, static_cast<uint8_t>(c));
  AppendEscaped(frame, static_cast<uint8_t>(crc & 0xFF));
  AppendEscaped(frame, static_cast<uint8_t>(crc >> 8));
  frame.push_back(static_cast<char>(kFrameFlag));
  return frame;
}

TByteString ComposeCommand(TByteView aCommand) {
  if (aCommand.size() % 2 != 0) throw ECommandFormatError("Неверный формат комманды (mod 2) > 0");
  TByteString content;
  content.reserve(aCommand.size() / 2);
  for (size_t i = 0; i < aCommand.size(); i += 2) {
    const int hi = HexDigit(aCommand[i]);
    const int lo = HexDigit(aCommand[i + 1]);
    if (hi < 0 || lo < 0)
      throw ECommandFormatError("'" + std::string(aCommand.substr(i, 2)) + "' is not a valid hexadecimal value");
    content.push_back(static_cast<char>(hi * 16 + lo));
  }
  return FrameBytes(content);
}

void TFrameSplitter::Reset() {
  FFrame.clear();
  FCrc = crc16x25::kInit;
  FEscapePending = false;
  FDiscarding = false;
}

namespace {

// Where the splitter puts what it finds: the session keeps good frames only.
struct TListSink {
  TFrameList& Frames;
  void Good(TByteView aFrame) { Frames.Add(aFrame); }
  void Bad(TByteView) {}
};

struct TEachSink {
  const std::function<void(TByteView, bool)>& OnFrame;
  void Good(TByteView aFrame) { OnFrame(aFrame, true); }
  void Bad(TByteView aFrame) { OnFrame(aFrame, false); }
};

}  // namespace

template <class TSink>
void TFrameSplitter::EndFrame(TSink& aSink) {
  if (FDiscarding) {
    FDiscarding = false;
  } else if (FFrame.empty()) {
    aSink.Good({});
  } else if (FFrame.size() < 2 || FCrc != crc16x25::kGoodResidue) {
    ++FBadFrames;
    aSink.Bad(FFrame);
  } else {
    aSink.Good(TByteView(FFrame).substr(0, FFrame.size() - 2));
  }
  FFrame.clear();
  FCrc = crc16x25::kInit;
  FEscapePending = false;
}

void TFrameSplitter::Split(TByteView aBytes, TFrameList& aFrames) {
  TListSink sink{aFrames};
  SplitInto(aBytes, sink);
}

void TFrameSplitter::SplitEach(TByteView aBytes, const std::function<void(TByteView, bool)>& aOnFrame) {
  TEachSink sink{aOnFrame};
  SplitInto(aBytes, sink);
}

template <class TSink>
void TFrameSplitter::SplitInto(TByteView aBytes, TSink& aSink) {
  const auto* p = reinterpret_cast<const uint8_t*>(aBytes.data());
  const auto* const end = p + aBytes.size();
  while (p < end) {
    if (FDiscarding) {
      while (p < end && *p != kFrameFlag) ++p;
      if (p == end) break;
      ++p;
      EndFrame(aSink);
      continue;
    }
    if (FEscapePending) {
      const uint8_t b = *p;
      if (b == 0x5E || b == 0x5D) {
        const uint8_t decoded = b ^ 0x20;
        FFrame.push_back(static_cast<char>(decoded));
        FCrc = crc16x25::Update(FCrc, &decoded, 1);
        FEscapePending = false;
        ++p;
        continue;
      }
      // Any other byte after an escape: the escape passes unchanged and the byte is taken anew.
      FFrame.push_back(static_cast<char>(kFrameEscape));
      FCrc = crc16x25::Update(FCrc, "\x7D", 1);
      FEscapePending = false;
    }
    // The plain run up to the next flag or escape, unescaped bytes and CRC in one pass.
    const auto* run = p;
    uint16_t crc = FCrc;
    while (p < end && *p != kFrameFlag && *p != kFrameEscape) {
      crc = crc16x25::kTable[(crc ^ *p) & 0xFF] ^ (crc >> 8);
      ++p;
    }
    FCrc = crc;
    FFrame.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    if (FFrame.size() > kMaxFrameBytes) {
      // No flag for too long: whatever this is, it is not a frame we can trust.
      ++FBadFrames;
      aSink.Bad(FFrame);
      FFrame.clear();
      FCrc = crc16x25::kInit;
      FDiscarding = true;
      continue;
    }
    if (p == end) break;
    if (*p == kFrameEscape) {
      FEscapePending = true;
    } else {
      EndFrame(aSink);
    }
    ++p;
  }
}
