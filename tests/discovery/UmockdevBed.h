// A umockdev test bed laid out as the kernel and the device manager lay out USB serial devices,
// with each tty's node leading to a pseudo-terminal, and uevents sent in the kernel's order.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A pseudo-terminal whose slave stands behind a device node; the master stays open.
class TBedPty {
 public:
  TBedPty() {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0 || ::ptsname_r(FMaster, name, sizeof name) != 0)
      throw std::runtime_error("pty");
    Slave = name;
  }
  ~TBedPty() { ::close(FMaster); }
  TBedPty(const TBedPty&) = delete;
  TBedPty& operator=(const TBedPty&) = delete;
  int Master() const { return FMaster; }
  std::string Slave;

 private:
  int FMaster = -1;
};

class TUmockdevBed {
 public:
  // A USB serial port: its tty's name, the interface's own name, the properties the device
  // manager puts on the tty ("KEY=value"), whether it has a node, its sysfs attributes, and the
  // node's target (a pty of the bed's own when empty).
  struct TPort {
    TPort(std::string aTty, std::string aInterfaceName = {}, std::vector<std::string> aProperties = {},
          bool aWithNode = true, std::vector<std::string> aAttributes = {}, std::string aNodeTarget = {})
        : Tty(std::move(aTty)),
          InterfaceName(std::move(aInterfaceName)),
          Properties(std::move(aProperties)),
          WithNode(aWithNode),
          Attributes(std::move(aAttributes)),
          NodeTarget(std::move(aNodeTarget)) {}
    std::string Tty;
    std::string InterfaceName;
    std::vector<std::string> Properties;
    bool WithNode;
    std::vector<std::string> Attributes;  // sysfs attributes of the tty, "name=value"
    std::string NodeTarget;
  };
  // What the kernel announces for one plugged USB device, in its order.
  struct TPlugged {
    std::string Usb;
    std::vector<std::string> Interfaces, SerialPorts, Ttys;
  };

  TUmockdevBed() : FBed(umockdev_testbed_new()) {
    if (!FBed) throw std::runtime_error("umockdev test bed");
  }
  ~TUmockdevBed() {
    g_object_unref(FBed);
    for (UMockdevIoctlBase* handler : FIoctlHandlers) g_object_unref(handler);
  }
  TUmockdevBed(const TUmockdevBed&) = delete;
  TUmockdevBed& operator=(const TUmockdevBed&) = delete;

  std::string Root() const {
    gchar* root = umockdev_testbed_get_root_dir(FBed);
    std::string text(root);
    g_free(root);
    return text;
  }

  // A USB device with a product name and one serial interface per port, ttyUSB-style. umockdev
  // tells each device's arrival as it is added, which is the kernel's order (the USB device, an
  // interface, its usb-serial port, the tty); the drivers' binds follow, as on a real plug-in.
  TPlugged AddUsbSerial(const std::string& aUsb, const std::string& aProduct, const std::vector<TPort>& aPorts) {
    TPlugged plugged;
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/" + aUsb;
    Add("P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nA: idVendor=1234\n" +
        (aProduct.empty() ? "" : "A: product=" + aProduct + "\n"));
    plugged.Usb = "/sys" + usb;
    for (size_t i = 0; i < aPorts.size(); ++i) {
      const TPort& port = aPorts[i];
      const std::string interface = usb + "/" + aUsb + ":1." + std::to_string(i);
      Add("P: " + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=option\nA: bInterfaceNumber=0" +
          std::to_string(i) + "\n" + (port.InterfaceName.empty() ? "" : "A: interface=" + port.InterfaceName + "\n"));
      const std::string serial = interface + "/" + port.Tty;
      Add("P: " + serial + "\nE: SUBSYSTEM=usb-serial\nE: DRIVER=option1\nL: driver=../../../../../../bus/usb-serial/drivers/option1\n");
      plugged.Interfaces.push_back("/sys" + interface);
      plugged.SerialPorts.push_back("/sys" + serial);
      plugged.Ttys.push_back(AddTty(serial + "/tty/" + port.Tty, port));
      Uevent(plugged.SerialPorts.back(), "bind");
      Uevent(plugged.Interfaces.back(), "bind");
    }
    Uevent(plugged.Usb, "bind");
    return plugged;
  }

  // A tty at aDevPath (under /devices); its node leads to a pty. Its arrival is told.
  std::string AddTty(const std::string& aDevPath, const TPort& aPort) {
    std::string text = "P: " + aDevPath + "\nE: SUBSYSTEM=tty\n";
    std::string target;
    if (aPort.WithNode) {
      target = aPort.NodeTarget;
      if (target.empty()) {
        FPtys.push_back(std::make_unique<TBedPty>());
        target = FPtys.back()->Slave;
      }
      struct stat st {};
      if (::stat(target.c_str(), &st) != 0) throw std::runtime_error("node target " + target);
      const std::string major = std::to_string(::major(st.st_rdev)), minor = std::to_string(::minor(st.st_rdev));
      text += "E: DEVNAME=/dev/" + aPort.Tty + "\nE: MAJOR=" + major + "\nE: MINOR=" + minor + "\nA: dev=" + major +
              ":" + minor + "\n";
    }
    for (const std::string& property : aPort.Properties) text += "E: " + property + "\n";
    for (const std::string& attribute : aPort.Attributes) text += "A: " + attribute + "\n";
    Add(text);
    if (aPort.WithNode) {
      const std::filesystem::path node = std::filesystem::path(Root()) / "dev" / aPort.Tty;
      std::filesystem::create_directories(node.parent_path());
      std::filesystem::remove(node);
      std::filesystem::create_symlink(target, node);
      FNodeTargets["/dev/" + aPort.Tty] = target;
      PassIoctlsThrough("/dev/" + aPort.Tty);
    }
    return "/sys" + aDevPath;
  }

  // Where a node of the bed really leads (the pty's slave), for opening it outside the bed.
  std::string NodeTarget(const std::string& aNode) const { return FNodeTargets.at(aNode); }
  TBedPty* PtyOf(const std::string& aNode) {
    for (auto& pty : FPtys)
      if (pty->Slave == FNodeTargets.at(aNode)) return pty.get();
    return nullptr;
  }

  void Uevent(const std::string& aSysPath, const char* aAction) {
    umockdev_testbed_uevent(FBed, aSysPath.c_str(), aAction);
    if (aSysPath.find("/tty/") != std::string::npos) TtyEventSent();
  }
  // A listener's queue holds ten datagrams here (net.unix.max_dgram_qlen), and umockdev aborts
  // on a full one; a monitor of the kernel's events gets every device's, so a plug-in's burst
  // overflows it on a loaded machine. With a pace, the bed waits after each tty event it sends
  // until aWait (given how many it sent since) says the monitor has taken it, and with it
  // everything before.
  void PaceTtyEvents(std::function<void(uint64_t aSent)> aWait) {
    FPace = std::move(aWait);
    FTtyEventsSent = 0;
  }
  // And on an unplug: the ttys first, the USB device last; each device leaves the bed once its
  // removal is told.
  void AnnounceUnplug(const TPlugged& aPlugged) {
    for (size_t i = 0; i < aPlugged.Ttys.size(); ++i) {
      Uevent(aPlugged.Ttys[i], "remove");
      Uevent(aPlugged.SerialPorts[i], "unbind");
      Uevent(aPlugged.SerialPorts[i], "remove");
      Uevent(aPlugged.Interfaces[i], "unbind");
      Uevent(aPlugged.Interfaces[i], "remove");
    }
    Uevent(aPlugged.Usb, "unbind");
    Uevent(aPlugged.Usb, "remove");
    Remove(aPlugged.Usb);
  }
  // The device and everything under it, deepest first, so that umockdev drops each one's class
  // and bus links and the names can be used again.
  void Remove(const std::string& aSysPath) {
    for (auto it = FDevices.rbegin(); it != FDevices.rend();) {
      if (*it == aSysPath || it->rfind(aSysPath + "/", 0) == 0) {
        umockdev_testbed_remove_device(FBed, it->c_str());
        it = decltype(it)(FDevices.erase(std::next(it).base()));
      } else {
        ++it;
      }
    }
  }

  // umockdev answers the ioctls on a node of the bed itself, and knows none of a serial port's;
  // the pty behind the node answers them instead. (Any /dev path a test opens goes through the
  // bed: a pty's own /dev/pts name opened here fails every ioctl.)
  void PassIoctlsThrough(const std::string& aNode) {
    if (!FIoctlNodes.insert(aNode).second) return;  // a node made again keeps its handler
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* aClient, gpointer) {
                       gint error = 0;
                       const gint result = umockdev_ioctl_client_execute(aClient, &error, nullptr);
                       umockdev_ioctl_client_complete(aClient, result, error);
                       return gboolean(TRUE);
                     }),
                     nullptr);
    GError* failure = nullptr;
    if (!umockdev_testbed_attach_ioctl(FBed, aNode.c_str(), handler, &failure)) {
      const std::string message = failure ? failure->message : "?";
      if (failure) g_error_free(failure);
      g_object_unref(handler);
      throw std::runtime_error("umockdev ioctl handler: " + message);
    }
    FIoctlHandlers.push_back(handler);
  }

  void Add(const std::string& aDescription) {
    const std::string path = "/sys" + aDescription.substr(3, aDescription.find('\n') - 3);
    if (std::find(FDevices.begin(), FDevices.end(), path) == FDevices.end()) FDevices.push_back(path);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(FBed, aDescription.c_str(), &error)) {
      const std::string message = error ? error->message : "?";
      if (error) g_error_free(error);
      throw std::runtime_error("umockdev: " + message);
    }
    if (aDescription.find("E: SUBSYSTEM=tty\n") != std::string::npos) TtyEventSent();  // its "add"
  }

 private:
  void TtyEventSent() {
    ++FTtyEventsSent;
    if (FPace) FPace(FTtyEventsSent);
  }

  UMockdevTestbed* FBed;
  std::function<void(uint64_t)> FPace;
  uint64_t FTtyEventsSent = 0;
  std::vector<std::unique_ptr<TBedPty>> FPtys;
  std::map<std::string, std::string> FNodeTargets;
  std::vector<UMockdevIoctlBase*> FIoctlHandlers;
  std::vector<std::string> FDevices;  // in the order added
  std::set<std::string> FIoctlNodes;
};
