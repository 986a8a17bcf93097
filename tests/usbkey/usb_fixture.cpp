#include "usbkey/usb_fixture.h"

#include <cstdio>
#include <fstream>

namespace Kestrilon::Testing {
namespace fs = std::filesystem;

namespace {
std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}
}  // namespace

UsbFixtureTree::UsbFixtureTree(fs::path root) : root_(std::move(root)) {
  fs::create_directories(root_ / "bus/usb/devices");
  fs::create_directories(root_ / "devices");
}

void UsbFixtureTree::WriteAttribute(const fs::path& folder, const std::string& name, const std::string& value) {
  std::ofstream(folder / name) << value << "\n";
}

void UsbFixtureTree::AddBusLink(const std::string& name, const fs::path& target) {
  fs::create_directory_symlink(fs::relative(target, root_ / "bus/usb/devices"), root_ / "bus/usb/devices" / name);
}

fs::path UsbFixtureTree::AddRootHub(uint32_t bus, const std::string& controller) {
  const fs::path controllerPath = root_ / "devices" / controller;
  fs::create_directories(controllerPath);
  WriteAttribute(controllerPath, "vendor", "0x8086");  // a PCI device: no USB descriptor
  const fs::path hub = controllerPath / ("usb" + std::to_string(bus));
  fs::create_directories(hub);
  WriteAttribute(hub, "idVendor", "1d6b");
  WriteAttribute(hub, "idProduct", "0002");
  WriteAttribute(hub, "bDeviceClass", "09");
  WriteAttribute(hub, "busnum", std::to_string(bus));
  AddBusLink(hub.filename().string(), hub);
  return hub;
}

fs::path UsbFixtureTree::AddDevice(const fs::path& hub, uint32_t port, uint16_t vendor, uint16_t product,
                                   uint8_t deviceClass) {
  const std::string hubName = hub.filename().string();
  const std::string name = hubName.rfind("usb", 0) == 0 ? hubName.substr(3) + "-" + std::to_string(port)
                                                        : hubName + "." + std::to_string(port);
  const fs::path device = hub / name;
  fs::create_directories(device);
  WriteAttribute(device, "idVendor", Hex(vendor, 4));
  WriteAttribute(device, "idProduct", Hex(product, 4));
  WriteAttribute(device, "bDeviceClass", Hex(deviceClass, 2));
  // The interface folder and the kernel's links sit beside the port devices and must not count as ones.
  const fs::path interface = hub / (name + ":1.0");
  fs::create_directories(interface);
  WriteAttribute(interface, "bInterfaceClass", Hex(deviceClass == 9 ? 9 : 3, 2));
  fs::create_directory_symlink(fs::relative(hub, device), device / "subsystem");
  AddBusLink(name, device);
  AddBusLink(name + ":1.0", interface);
  return device;
}

}  // namespace Kestrilon::Testing
