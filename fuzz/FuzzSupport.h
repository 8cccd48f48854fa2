// Helpers shared by the fuzz targets: a violated invariant as a finding, and the control word
// that chooses how an input is cut into reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

// A broken invariant is reported like a crash, so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)

namespace fuzz {

// The last 8 bytes of an input steer the harness; the bytes before them are the data. Keeping
// the data in front leaves a recorded stream usable as a seed with 8 bytes appended.
struct TControlled {
  std::string_view Data;
  uint64_t Control = 0;
};

inline TControlled SplitControl(const uint8_t* aData, size_t aSize) {
  TControlled out;
  const size_t controlBytes = aSize < 8 ? aSize : 8;
  const size_t dataSize = aSize - controlBytes;
  out.Data = std::string_view(reinterpret_cast<const char*>(aData), dataSize);
  for (size_t i = 0; i < controlBytes; ++i) out.Control |= static_cast<uint64_t>(aData[dataSize + i]) << (8 * i);
  return out;
}

// A small deterministic generator seeded from the control word (xorshift64*).
class TChooser {
 public:
  explicit TChooser(uint64_t aSeed) : FState(aSeed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {
    if (FState == 0) FState = 1;
  }
  uint64_t Next() {
    FState ^= FState >> 12;
    FState ^= FState << 25;
    FState ^= FState >> 27;
    return FState * 0x2545F4914F6CDD1Dull;
  }
  // 0..aBound-1; aBound > 0.
  uint64_t Below(uint64_t aBound) { return Next() % aBound; }
  bool OneIn(uint64_t aN) { return Below(aN) == 0; }

 private:
  uint64_t FState;
};

// Read sizes the way a serial port hands bytes over: mostly small, now and then large.
inline size_t NextReadSize(TChooser& aChooser, size_t aLeft) {
  static constexpr size_t kLimits[] = {1, 2, 7, 16, 64, 512, 4096, 65536};
  const size_t limit = kLimits[aChooser.Below(std::size(kLimits))];
  const size_t n = 1 + aChooser.Below(limit);
  return n < aLeft ? n : aLeft;
}

}  // namespace fuzz
