// Plug and unplug of serial ports, told to the main window as WM_DEVICECHANGE messages.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/MessageTarget.h"
#include "serial/PortTable.h"
#include "serial/SetupAPI.h"
#include "serial/UdevPorts.h"

struct udev_monitor;

// lParam of a port arrival or removal: the device type "port" of the platform's event record.
constexpr intptr_t kDeviceTypePort = 3;

enum class TPortChangeKind {
  Arrival,       // a serial port appeared
  Removal,       // a serial port went away
  NodesChanged,  // some other device came or went
};

struct TPortChange {
  TPortChangeKind Kind = TPortChangeKind::NodesChanged;
  std::string DevicePath;  // the port's device node; empty for NodesChanged
  std::optional<dev_t> DeviceNumber;  // of an arrival, where the source knows it
  bool operator==(const TPortChange&) const = default;
};

// The one place where changes from every source meet: it keeps the set of ports present and
// posts a message only when a port's presence really changes, so that two sources seeing the
// same change, or one device reached by two paths, are reported once. Arrival, removal and
// rescans may be called from any thread.
class TPortNotifier {
 public:
  // Takes the serial devices present now as known; only later changes are posted.
  TPortNotifier(TMessageTarget& aTarget, TPortTable& aTable, TSerialDeviceScan aScan = ScanSerialDevices);

  void Report(const TPortChange& aChange);
  // Compares the serial devices present now with those known and reports the difference. The
  // scan runs under the notifier's lock, so no other source's report can fall between what the
  // scan saw and what it reports.
  void Rescan();

  TPortTable& Table() { return FTable; }

 private:
  void ReportLocked(const TPortChange& aChange);

  TMessageTarget& FTarget;
  TPortTable& FTable;
  const TSerialDeviceScan FScan;
  std::mutex FLock;
  std::map<uint16_t, std::set<std::string>> FPresent;  // every port present, by number, with its paths
};

// Something that tells of ports coming and going: the device manager's events, the kernel's,
// the rescan, the simulated modem, a test.
class TPortEventSource {
 public:
  virtual ~TPortEventSource() = default;
  // Begins reporting to aNotifier, which must outlive Stop; false when the source cannot run here.
  virtual bool Start(TPortNotifier& aNotifier) = 0;
  // Returns once no report is in progress and none will follow.
  virtual void Stop() = 0;
};

// Which events libudev listens to: the device manager's, sent once its rules have run (the node
// has its group and permissions by then), or the kernel's own, sent before them.
enum class TUdevEventKind { Udev, Kernel };

// A libudev monitor for tty devices on its own thread.
class TUdevMonitorSource final : public TPortEventSource {
 public:
  explicit TUdevMonitorSource(TUdevEventKind aKind) : FKind(aKind) {}
  ~TUdevMonitorSource() override;
  TUdevMonitorSource(const TUdevMonitorSource&) = delete;
  TUdevMonitorSource& operator=(const TUdevMonitorSource&) = delete;

  bool Start(TPortNotifier& aNotifier) override;
  void Stop() override;

  bool Running() const { return FThread.joinable(); }
  TUdevEventKind Kind() const { return FKind; }
  // Why the last Start failed (an errno value), 0 after a good start.
  int LastError() const { return FLastError; }
  // True once an event has arrived (events evidently reach this process), false again should
  // the monitor fail.
  bool HeardEvent() const { return FHeardEvent.load(); }
  // Events taken from the monitor, of any action; waits until more than aCount were taken.
  bool WaitForEvents(uint64_t aCount, std::chrono::milliseconds aTimeout) const;
  uint64_t Events() const;

 private:
  void Run(TPortNotifier& aNotifier);
  void CloseAll();

  const TUdevEventKind FKind;
  TUdevPtr FUdev;
  udev_monitor* FMonitor = nullptr;
  int FWake = -1;
  int FLastError = 0;
  std::thread FThread;
  std::atomic<bool> FHeardEvent{false};
  mutable std::mutex FCountLock;
  mutable std::condition_variable FCounted;
  uint64_t FEvents = 0;
};

// A thread that makes a pass at every interval until it is stopped, and counts the passes that
// did their work (a pass may decline, and is then not counted).
class TPeriodicPasses {
 public:
  enum class TFirstPass { AtOnce, AfterInterval };
  TPeriodicPasses(std::chrono::milliseconds aInterval, TFirstPass aFirst) : FInterval(aInterval), FFirst(aFirst) {}
  ~TPeriodicPasses() { Stop(); }
  TPeriodicPasses(const TPeriodicPasses&) = delete;
  TPeriodicPasses& operator=(const TPeriodicPasses&) = delete;

  // aPass returns whether it counts. False when the thread cannot be made.
  bool Start(std::function<bool()> aPass);
  void Stop();

  bool Running() const { return FThread.joinable(); }
  uint64_t Passes() const;
  // Waits until more than aCount passes have been counted.
  bool WaitForPasses(uint64_t aCount, std::chrono::milliseconds aTimeout) const;

 private:
  const std::chrono::milliseconds FInterval;
  const TFirstPass FFirst;
  std::thread FThread;
  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
  bool FStop = false;
  uint64_t FPasses = 0;
};

// Lists the serial devices at a fixed interval for machines where no event reaches the process.
class TPortRescan final : public TPortEventSource {
 public:
  // aWanted, asked before each pass, lets the owner skip the passes while they are not needed.
  explicit TPortRescan(std::chrono::milliseconds aInterval, std::function<bool()> aWanted = {});
  ~TPortRescan() override;
  TPortRescan(const TPortRescan&) = delete;
  TPortRescan& operator=(const TPortRescan&) = delete;

  bool Start(TPortNotifier& aNotifier) override;
  void Stop() override;

  bool Running() const { return FPasses.Running(); }
  uint64_t Passes() const { return FPasses.Passes(); }
  // Waits until more than aCount passes have been made.
  bool WaitForPasses(uint64_t aCount, std::chrono::milliseconds aTimeout) const {
    return FPasses.WaitForPasses(aCount, aTimeout);
  }

 private:
  const std::function<bool()> FWanted;
  TPeriodicPasses FPasses;
};

// Ports that no device listing shows (the simulated modem, a test's device) plugged and unplugged by
// hand. The port joins the table's extra ports before its arrival is told and leaves them before
// its removal is told, so a listing made on either message agrees with it.
class TExtraPortEvents final : public TPortEventSource {
 public:
  explicit TExtraPortEvents(TPortTable& aTable) : FTable(aTable) {}
  bool Start(TPortNotifier& aNotifier) override;
  void Stop() override;

  // Returns the port's COM number.
  uint16_t Plug(const std::string& aDevicePath, const std::string& aDescription);
  void Unplug(const std::string& aDevicePath);

 private:
  TPortTable& FTable;
  std::mutex FLock;
  TPortNotifier* FNotifier = nullptr;
};

// Ports named by a path that no device listing gives as it is written: a pseudo-terminal,
// a symlink such as a by-id name. Each path is looked at every interval; a path that goes away,
// comes back or now leads to another device is told as the port's removal and then its arrival.
// As with TExtraPortEvents, the port leaves the table's extra ports before its removal is told
// and joins them before its arrival is.
class TPortPathWatch final : public TPortEventSource {
 public:
  struct TWatchedPort {
    std::string Path;
    std::string Description;
  };

  // Registers in aTable, in the order given, the ports whose path leads to something now.
  TPortPathWatch(TPortTable& aTable, std::vector<TWatchedPort> aPorts,
                 std::chrono::milliseconds aInterval = std::chrono::milliseconds(500));
  ~TPortPathWatch() override;
  TPortPathWatch(const TPortPathWatch&) = delete;
  TPortPathWatch& operator=(const TPortPathWatch&) = delete;

  // The first pass is made at once, so that a change since construction is not missed.
  bool Start(TPortNotifier& aNotifier) override;
  void Stop() override;

  bool Running() const { return FPasses.Running(); }
  uint64_t Passes() const { return FPasses.Passes(); }
  // Waits until more than aCount passes have been made.
  bool WaitForPasses(uint64_t aCount, std::chrono::milliseconds aTimeout) const {
    return FPasses.WaitForPasses(aCount, aTimeout);
  }

 private:
  // What a path leads to: device, inode and device number of the file at its end.
  struct TTarget {
    uint64_t Device = 0, Inode = 0, Rdev = 0;
    bool operator==(const TTarget&) const = default;
  };
  struct TWatched {
    TWatchedPort Port;
    std::optional<TTarget> Target;  // none: the path leads nowhere
  };
  static std::optional<TTarget> TargetOf(const std::string& aPath);
  void Pass(TPortNotifier& aNotifier);

  TPortTable& FTable;
  std::vector<TWatched> FPorts;  // touched only by the watch thread once it runs
  TPeriodicPasses FPasses;
};

// Where plug and unplug come from. Auto: the device manager's events where it runs, else the
// kernel's.
enum class TPortEventSourceChoice { Auto, Udev, Kernel, RescanOnly };

struct TPortNotificationOptions {
  TPortEventSourceChoice Source = TPortEventSourceChoice::Auto;
  std::chrono::milliseconds RescanInterval{2000};
  TSerialDeviceScan Scan = ScanSerialDevices;
};

// The window's registration for port notifications: a libudev monitor, and the rescan whenever no
// event has been seen to reach the process (a container may never see one; a quiet machine looks
// the same until its first event, so both run until then). Further sources, such as the
// simulated modem's plug, join with AddSource.
class TDeviceNotifications {
 public:
  explicit TDeviceNotifications(TMessageTarget& aTarget, TPortTable& aTable = TPortTable::Instance(),
                                TPortNotificationOptions aOptions = {});
  ~TDeviceNotifications();
  TDeviceNotifications(const TDeviceNotifications&) = delete;
  TDeviceNotifications& operator=(const TDeviceNotifications&) = delete;

  // Whether a device manager (systemd-udevd) runs on this machine.
  static bool DeviceManagerRuns();

  // Start, Stop and AddSource belong to the thread that owns the window.
  void Start();
  void Stop();
  // Started at once when the others run, stopped and freed with them.
  void AddSource(std::unique_ptr<TPortEventSource> aSource);

  // "udev", "kernel" or "rescan": where plug and unplug are learnt from once started.
  std::string SourceName() const;
  bool Monitoring() const { return FMonitor && FMonitor->Running(); }
  // The device manager's or the kernel's monitor while it runs, else null.
  const TUdevMonitorSource* Monitor() const { return Monitoring() ? FMonitor.get() : nullptr; }
  bool Rescanning() const { return FRescan.Running(); }
  TPortNotifier& Notifier() { return FNotifier; }

 private:
  TPortNotifier FNotifier;
  const TPortEventSourceChoice FChoice;
  std::unique_ptr<TUdevMonitorSource> FMonitor;
  TPortRescan FRescan;
  std::vector<std::unique_ptr<TPortEventSource>> FSources;
  bool FStarted = false;
};
