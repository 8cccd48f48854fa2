// A small seeded generator for the simulated modem's scenario: cheap enough for the
// as-fast-as-possible rate, reproducible from one 64-bit seed.
#pragma once

#include <cmath>
#include <cstdint>

namespace sim {

class TRandom {
 public:
  explicit TRandom(uint64_t aSeed = 1) : FState(aSeed) {}

  // Derives an independent stream, e.g. one per packet, from a seed and a few labels.
  static TRandom Derived(uint64_t aSeed, uint64_t aLabel1, uint64_t aLabel2 = 0) {
    TRandom r(aSeed ^ (aLabel1 * 0x9E3779B97F4A7C15ull) ^ (aLabel2 * 0xC2B2AE3D27D4EB4Full));
    r.Next();
    return r;
  }

  uint64_t Next() {
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, 1).
  double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  double Uniform(double aLow, double aHigh) { return aLow + (aHigh - aLow) * Uniform(); }
  // Uniform integer in [aLow, aHigh], both ends included.
  int64_t Int(int64_t aLow, int64_t aHigh) {
    if (aHigh <= aLow) return aLow;
    return aLow + static_cast<int64_t>(Next() % static_cast<uint64_t>(aHigh - aLow + 1));
  }
  bool Chance(double aProbability) { return Uniform() < aProbability; }
  // Standard normal deviate (Box-Muller; the second value is thrown away for simplicity).
  double Normal() {
    double u1 = Uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * Uniform());
  }

 private:
  uint64_t FState;
};

}  // namespace sim
