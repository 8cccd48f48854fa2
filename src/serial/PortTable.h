// Which device each COM number stands for, so that ports keep their numbers for the whole run.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
  // device holds, the first time it is seen, and keeps it for the rest of the run.
  uint16_t NumberFor(const std::string& aDevicePath);
  std::optional<uint16_t> FindNumber(const std::string& aDevicePath) const;
  std::optional<std::string> PathOf(uint16_t aNumber) const;

  // Ports that no device listing reports: a device named on the command line, the simulated
  // modem. They are listed after the discovered ones, in the order they were registered.
  uint16_t RegisterExtraPort(const std::string& aDevicePath, const std::string& aDescription);
  void UnregisterExtraPort(const std::string& aDevicePath);
  std::vector<TExtraPort> ExtraPorts() const;

 private:
  uint16_t AssignLocked(const std::string& aDevicePath);

  mutable std::mutex FLock;
  std::map<uint16_t, std::string> FPathByNumber;
  std::map<std::string, uint16_t> FNumberByPath;
  std::vector<TExtraPort> FExtras;
};
