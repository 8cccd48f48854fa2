// Fuzz target: the bytes a port delivers, as they come, through the session's de-framer,
// dispatcher, parsers and read-outs.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "ModemChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const fuzz::TControlled input = fuzz::SplitControl(aData, aSize);
  fuzz::DriveModem(input.Data, input.Control);
  return 0;
}
