// Device-change notifications from udev's netlink monitor.
#include <libudev.h>

#include <cstring>

#include "platform/usb/usb.h"

namespace Kestrilon::Platform {

struct UsbDeviceMonitor::Handles {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  ~Handles() {
    if (monitor) udev_monitor_unref(monitor);
    if (context) udev_unref(context);
  }
};

namespace {
struct DeviceRef {
  udev_device* device;
  ~DeviceRef() { udev_device_unref(device); }
};
}  // namespace

std::unique_ptr<UsbDeviceMonitor> UsbDeviceMonitor::Open(std::string* error) {
  auto fail = [&](const char* why) -> std::unique_ptr<UsbDeviceMonitor> {
    if (error) *error = why;
    return nullptr;
  };
  auto handles = std::make_unique<Handles>();
  handles->context = udev_new();
  if (!handles->context) return fail("udev is not available");
  // The "udev" group carries events after udev has processed them (device nodes and links in place).
  handles->monitor = udev_monitor_new_from_netlink(handles->context, "udev");
  if (!handles->monitor) return fail("the udev netlink monitor cannot be opened");
  // Whole USB devices only: one notification per device arrival or removal, not one per interface.
  if (udev_monitor_filter_add_match_subsystem_devtype(handles->monitor, "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(handles->monitor) < 0) {
    return fail("the udev netlink monitor cannot receive");
  }
  return std::unique_ptr<UsbDeviceMonitor>(new UsbDeviceMonitor(std::move(handles)));
}

UsbDeviceMonitor::UsbDeviceMonitor(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}
UsbDeviceMonitor::~UsbDeviceMonitor() = default;

int UsbDeviceMonitor::Fd() const { return udev_monitor_get_fd(handles_->monitor); }

std::vector<UsbDeviceMonitor::Change> UsbDeviceMonitor::ReceivePending() {
  std::vector<Change> changes;
  // The socket is non-blocking: receiving stops when nothing is left.
  while (udev_device* raw = udev_monitor_receive_device(handles_->monitor)) {
    DeviceRef device{raw};
    const char* action = udev_device_get_action(device.device);
    if (action && std::strcmp(action, "add") == 0) {
      changes.push_back(Change::Arrival);
    } else if (action && std::strcmp(action, "remove") == 0) {
      changes.push_back(Change::Removal);
    } else {
      changes.push_back(Change::Other);
    }
  }
  return changes;
}

}  // namespace Kestrilon::Platform
