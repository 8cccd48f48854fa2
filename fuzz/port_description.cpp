// Fuzz target: the texts a device manager, its hardware database and sysfs hand over for a serial
// port (vendor and model names, the USB interface's and product's names, the driver), through the
// port's description.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "serial/PortDescription.h"

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void CheckClean(const std::string& aRaw) {
  const std::optional<std::string> clean = CleanDeviceText(aRaw);
  if (!clean) return;
  FUZZ_CHECK(!clean->empty() && clean->size() <= kMaxDeviceText);
  FUZZ_CHECK(clean->front() != ' ' && clean->back() != ' ');
  FUZZ_CHECK(clean->find("  ") == std::string::npos);
  for (char c : *clean) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  // A cut never splits a character: what follows the kept text in the input is no continuation.
  if (clean->size() == kMaxDeviceText || clean->size() + 1 == kMaxDeviceText) {
    const size_t at = aRaw.find(*clean);
    if (at != std::string::npos && at + clean->size() < aRaw.size()) FUZZ_CHECK(!IsContinuationByte(aRaw[at + clean->size()]));
  }
  // Cleaning what is clean changes nothing.
  FUZZ_CHECK(CleanDeviceText(*clean) == clean);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzedDataProvider input(aData, aSize);
  TPortFacts facts;
  std::optional<std::string>* texts[] = {&facts.DatabaseVendor, &facts.DatabaseModel, &facts.InterfaceName,
                                         &facts.Product, &facts.Driver};
  std::string raw[5];
  for (size_t i = 0; i < 5; ++i) raw[i] = input.ConsumeRandomLengthString(512);
  const uint8_t present = input.ConsumeIntegral<uint8_t>();
  for (size_t i = 0; i < 5; ++i)
    if (present & (1u << i)) *texts[i] = raw[i];
  const std::string path = "/dev/" + input.ConsumeRemainingBytesAsString();

  for (const std::string& text : raw) CheckClean(text);
  const std::string description = DescribeSerialPort(facts, path);
  // The device path ends every description; before it, one line of bounded length.
  const std::string tail = " (" + path + ")";
  FUZZ_CHECK(description.size() > tail.size() && description.ends_with(tail));
  const std::string name = description.substr(0, description.size() - tail.size());
  FUZZ_CHECK(name.size() <= 3 * kMaxDeviceText + 3);  // vendor, model, interface
  FUZZ_CHECK(CleanDeviceText(name).has_value());
  for (char c : name) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  return 0;
}
