// The frame splitter and the modem session driven by a fuzzed byte stream, and what must hold
// afterwards whatever the bytes were.
#pragma once

#include <cstdint>
#include <vector>

#include "common/ByteString.h"

namespace fuzz {

// Frames in a byte stream as a plain, independent de-framer counts them: split at the flags,
// unescape, check the CRC; a frame that grows past the splitter's bound is one bad frame, counted
// when it does. Other bytes after the last flag are a frame still to come and are not counted.
struct TFrameCount {
  uint64_t Dispatched = 0;  // good CRC and at least one byte of content
  uint64_t Empty = 0;       // two flags in a row, or nothing but a CRC
  uint64_t Bad = 0;         // CRC wrong or missing, or too long
};
TFrameCount CountFrames(TByteView aStream);

// The splitter on its own: the stream split in one read and in reads of sizes chosen by the
// control word gives the same frames, bad-frame count and partial frame; the counts agree with
// CountFrames; every frame survives a round trip through the encoder.
void CheckSplitting(TByteView aStream, uint64_t aControl);

// Builds a session without a port, sets the start-up state the control word asks for, hands it
// aStream in reads of sizes chosen by the control word, calls the window's read-outs and the DRC
// tick between reads, and checks every invariant at the end.
void DriveModem(TByteView aStream, uint64_t aControl);
// The same with frames handed to the dispatcher one by one, as the parser tests do.
void DriveModemWithFrames(const std::vector<TByteString>& aFrames, uint64_t aControl);

}  // namespace fuzz
