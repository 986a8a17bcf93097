#pragma once
// USB devices of the machine, read from sysfs, and the system's device-change notifications.
//
// The tree is read under a sysfs root: $KESTRILON_SYSFS_ROOT, else /sys. The entries of
// <root>/bus/usb/devices are links into the devices tree; a root hub ("usbN") holds its port devices
// ("N-P") as sub-folders, an external hub "X" holds "X.P". Every read is fresh: nothing is cached.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Kestrilon::Platform {

// The sysfs root in use: $KESTRILON_SYSFS_ROOT when set and not empty, else "/sys".
std::filesystem::path UsbSysfsRoot();

// A root hub (the top of one host controller's tree) reached from bus/usb/devices.
struct UsbRootHub {
  std::filesystem::path path;  // the resolved folder in the devices tree
  std::string identity;        // the resolved folder: the same hub reached twice has the same identity
};

// The root hubs in the order a walk visits them: first the entries named usbN by bus number, then every
// entry that resolves to a root hub, in name order. A hub can appear more than once; callers keep a
// visited list by identity. No USB at all gives an empty list.
std::vector<UsbRootHub> FindUsbRootHubs(const std::filesystem::path& sysfsRoot);

// One occupied port of a hub, with the device descriptor's fields.
struct UsbPortDevice {
  uint32_t port = 0;
  std::filesystem::path path;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint8_t deviceClass = 0;
  bool IsHub() const { return deviceClass == 0x09; }
  uint32_t DeviceId() const { return (uint32_t{vendorId} << 16) | productId; }
};

// The devices on a hub's ports, in port order; a port whose descriptor cannot be read is left out.
// nullopt when the hub itself cannot be read.
std::optional<std::vector<UsbPortDevice>> ReadUsbHubPorts(const std::filesystem::path& hubPath);

// The system's notifications of USB device arrivals and removals: udev's netlink monitor.
// Nothing is received while no one reads; the owner polls Fd() and calls ReceivePending.
class UsbDeviceMonitor {
 public:
  enum class Change { Arrival, Removal, Other };

  // nullptr (with a reason) when udev or netlink is not available on this machine.
  static std::unique_ptr<UsbDeviceMonitor> Open(std::string* error = nullptr);
  ~UsbDeviceMonitor();
  UsbDeviceMonitor(const UsbDeviceMonitor&) = delete;
  UsbDeviceMonitor& operator=(const UsbDeviceMonitor&) = delete;

  // Readable when notifications are pending; never blocks a reader.
  int Fd() const;
  // Every pending notification of a USB device, in arrival order; empty when none is pending.
  std::vector<Change> ReceivePending();

  struct Handles;  // private to platform/usb

 private:
  explicit UsbDeviceMonitor(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> handles_;
};

}  // namespace Kestrilon::Platform
