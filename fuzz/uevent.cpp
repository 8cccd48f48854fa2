// Fuzz target: a kernel uevent datagram as the netlink listener receives it, through the uevent
// parser and, for a port, into the COM number table.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "serial/PortNotifications.h"
#include "serial/PortTable.h"
#include "serial/SetupAPI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string_view datagram(reinterpret_cast<const char*>(aData), aSize);
  const std::optional<TPortChange> change = ParseUevent(datagram);
  if (!change) return 0;

  // Only a whole datagram (the last field ends in NUL) of an add or a remove means anything.
  FUZZ_CHECK(datagram.back() == '\0');
  FUZZ_CHECK(datagram.starts_with("add@/devices/") || datagram.starts_with("remove@/devices/"));
  if (datagram.size() >= 2 && datagram[datagram.size() - 2] != '\0')
    FUZZ_CHECK(!ParseUevent(datagram.substr(0, datagram.size() - 1)));

  if (change->Kind == TPortChangeKind::NodesChanged) {
    FUZZ_CHECK(change->DevicePath.empty());
    return 0;
  }
  FUZZ_CHECK((change->Kind == TPortChangeKind::Arrival) == datagram.starts_with("add@"));
  // The device node is a plain name in /dev: nothing of the datagram may lead elsewhere.
  FUZZ_CHECK(change->DevicePath.starts_with("/dev/"));
  const std::string_view name = std::string_view(change->DevicePath).substr(5);
  FUZZ_CHECK(IsPlainDeviceName(name));
  FUZZ_CHECK(name.find('/') == std::string_view::npos && name != "." && name != "..");

  TPortTable table;
  const uint16_t number = table.NumberFor(change->DevicePath);
  FUZZ_CHECK(number >= 1);
  FUZZ_CHECK(table.NumberFor(change->DevicePath) == number);
  FUZZ_CHECK(table.FindNumber(change->DevicePath) == number);
  FUZZ_CHECK(table.PathOf(number) == change->DevicePath);
  const std::string other = change->DevicePath + "0";
  if (IsPlainDeviceName(std::string_view(other).substr(5))) FUZZ_CHECK(table.NumberFor(other) != number);
  return 0;
}
