// Power fields shared by the Rev A and Rev B power logs: 1/256 dB raw values, and the
// carrier-to-interference figure derived from them.
#pragma once

#include <cmath>
#include <cstdint>

#include "protocol/ModemStructuresUnit.h"

inline float PowerDb(int16_t aRaw) { return static_cast<float>(aRaw / 256.0); }

// ln(10^(tx/20) / 10^(rx/20)), to two decimals; from the raw values, so the float fields'
// rounding does not enter.
inline float CarrierToInterference(int16_t aRawTxTotal, int16_t aRawRx) {
  const double a = std::pow(10.0, aRawTxTotal / 256.0 / 20.0);
  const double b = std::pow(10.0, aRawRx / 256.0 / 20.0);
  return RoundTo2Decimals(std::log(a / b));
}
