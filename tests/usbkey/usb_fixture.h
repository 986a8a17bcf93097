#pragma once
// A sysfs tree of USB devices laid out as the kernel shows it: devices under devices/..., and
// bus/usb/devices/<name> links to every device and interface.
#include <cstdint>
#include <filesystem>
#include <string>

namespace Kestrilon::Testing {

class UsbFixtureTree {
 public:
  explicit UsbFixtureTree(std::filesystem::path root);
  const std::filesystem::path& Root() const { return root_; }

  // A root hub "usb<bus>" under a host controller folder (e.g. "pci0000:00/0000:00:14.0").
  std::filesystem::path AddRootHub(uint32_t bus, const std::string& controller);
  // A device on `port` of `hub`; class 0x09 makes it a hub. Its first interface is added too.
  std::filesystem::path AddDevice(const std::filesystem::path& hub, uint32_t port, uint16_t vendor,
                                  uint16_t product, uint8_t deviceClass = 0);
  // One more bus/usb/devices entry for a folder already in the tree.
  void AddBusLink(const std::string& name, const std::filesystem::path& target);

 private:
  void WriteAttribute(const std::filesystem::path& folder, const std::string& name, const std::string& value);
  std::filesystem::path root_;
};

}  // namespace Kestrilon::Testing
