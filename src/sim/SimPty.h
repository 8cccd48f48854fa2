// The pseudo-terminal the simulated modem lives on, and the symlink that may point at it.
#pragma once

#include <string>

namespace sim {

class TSimPty {
 public:
  TSimPty() = default;
  TSimPty(const TSimPty&) = delete;
  TSimPty& operator=(const TSimPty&) = delete;
  ~TSimPty() { Close(); }

  // Creates a new master/slave pair; the slave is put into raw mode once, so that the line
  // discipline never translates a byte whoever opens it later, and is kept open so that the
  // master sees no hang-up between the monitor's opens. Throws std::system_error.
  void Open();
  // Closing the master is what a reader of the slave sees as the device going away.
  void Close();

  bool IsOpen() const { return FMaster >= 0; }
  int Master() const { return FMaster; }
  // Bytes written to the master that no reader of the slave has taken yet.
  int UnreadBySlave() const;
  const std::string& SlavePath() const { return FSlavePath; }

 private:
  int FMaster = -1;
  int FSlave = -1;
  std::string FSlavePath;
};

// Points aLink at aTarget, replacing an older symlink of that name atomically. Refuses to
// replace anything that is not a symlink. Throws std::system_error.
void PlaceSymlink(const std::string& aLink, const std::string& aTarget);
// Removes aLink if it is a symlink that still points at aTarget.
void RemoveSymlink(const std::string& aLink, const std::string& aTarget);

}  // namespace sim
