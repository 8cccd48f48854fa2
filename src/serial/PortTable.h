// Which device each COM number stands for, so that ports keep their numbers for the whole run.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The device number of the character device a path leads to now (symlinks followed); none for
// anything else or a path that leads nowhere.
std::optional<dev_t> CharDeviceNumberOf(const std::string& aPath);

class TPortTable {
 public:
  struct TExtraPort {
    uint16_t Number = 0;
    std::string Path;
    std::string Description;
  };

  // The table the program's ports use; tests may build tables of their own.
  static TPortTable& Instance();

  // /dev/ttyS<k> is COM<k+1>; any other device gets the lowest number from COM3 up that no
  // device holds, the first time it is seen, and keeps it for the rest of the run. A device is
  // known by its device number where it has one, so its own node, a by-id link and a name given
  // on the command line share one number; the path last given is the one PathOf opens.
  uint16_t NumberFor(const std::string& aDevicePath, std::optional<dev_t> aDeviceNumber = std::nullopt);
  std::optional<uint16_t> FindNumber(const std::string& aDevicePath) const;
  std::optional<std::string> PathOf(uint16_t aNumber) const;

  // Ports that no device listing reports: a device named on the command line, the simulated
  // modem. They are listed after the discovered ones, in the order they were registered. The
  // path's device number is read now.
  uint16_t RegisterExtraPort(const std::string& aDevicePath, const std::string& aDescription);
  void UnregisterExtraPort(const std::string& aDevicePath);
  std::vector<TExtraPort> ExtraPorts() const;

 private:
  uint16_t AssignLocked(const std::string& aDevicePath, std::optional<dev_t> aDeviceNumber);
  void BindDeviceLocked(uint16_t aNumber, dev_t aDeviceNumber);

  mutable std::mutex FLock;
  std::map<uint16_t, std::string> FPathByNumber;  // the path last given for the number
  std::map<std::string, uint16_t> FNumberByPath;  // every path ever given, for good
  std::map<dev_t, uint16_t> FNumberByDevice;      // each number's device, as last seen
  std::map<uint16_t, dev_t> FDeviceByNumber;
  std::vector<TExtraPort> FExtras;
};
