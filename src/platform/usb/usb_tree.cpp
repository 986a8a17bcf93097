// The USB tree as sysfs shows it.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/usb/usb.h"

namespace Kestrilon::Platform {
namespace fs = std::filesystem;

namespace {

// A sysfs attribute holding a hexadecimal number ("096e\n"); nullopt when missing or malformed.
std::optional<uint32_t> ReadHexAttribute(const fs::path& file, uint32_t maxValue) {
  std::ifstream in(file);
  std::string text;
  if (!in || !std::getline(in, text)) return std::nullopt;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\t')) text.pop_back();
  uint32_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(begin, end, value, 16);
  if (error != std::errc() || next != end || begin == end || value > maxValue) return std::nullopt;
  return value;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<uint32_t> ParseNumber(std::string_view text) {
  if (!AllDigits(text) || text.size() > 9) return std::nullopt;
  uint32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

bool HasDescriptor(const fs::path& device) {
  std::error_code ec;
  return fs::is_regular_file(device / "idVendor", ec) && fs::is_regular_file(device / "idProduct", ec);
}

// A root hub is a USB device whose parent is not one (its parent is the host controller).
bool IsRootHub(const fs::path& resolved) {
  return HasDescriptor(resolved) && !HasDescriptor(resolved.parent_path());
}

// The prefix of the names of a hub's port devices: "N-" below root hub "usbN", "X." below hub "X".
std::optional<std::string> PortNamePrefix(const fs::path& hubPath) {
  const std::string name = hubPath.filename().string();
  if (name.rfind("usb", 0) == 0 && AllDigits(std::string_view(name).substr(3))) return name.substr(3) + "-";
  if (name.empty() || name.find(':') != std::string::npos) return std::nullopt;
  // A root hub reached under another name still names its ports after its bus number.
  if (!HasDescriptor(hubPath.parent_path())) {
    std::ifstream in(hubPath / "busnum");
    std::string bus;
    if (in >> bus && AllDigits(bus)) return bus + "-";
    return std::nullopt;
  }
  return name + ".";
}

}  // namespace

fs::path UsbSysfsRoot() {
  const char* root = std::getenv("KESTRILON_SYSFS_ROOT");
  return (root && *root) ? fs::path(root) : fs::path("/sys");
}

std::vector<UsbRootHub> FindUsbRootHubs(const fs::path& sysfsRoot) {
  const fs::path bus = sysfsRoot / "bus" / "usb" / "devices";
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(bus, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());

  std::vector<UsbRootHub> hubs;
  auto add = [&](const std::string& name) {
    std::error_code resolveError;
    const fs::path resolved = fs::canonical(bus / name, resolveError);
    if (resolveError || !IsRootHub(resolved)) return;
    hubs.push_back({resolved, resolved.string()});
  };

  // The named controllers first, by bus number ...
  std::vector<std::pair<uint32_t, std::string>> numbered;
  for (const auto& name : names) {
    if (name.rfind("usb", 0) != 0) continue;
    if (auto number = ParseNumber(std::string_view(name).substr(3))) numbered.emplace_back(*number, name);
  }
  std::sort(numbered.begin(), numbered.end());
  for (const auto& [number, name] : numbered) add(name);
  // ... then every entry that is a root hub, whatever its name.
  for (const auto& name : names) add(name);
  return hubs;
}

std::optional<std::vector<UsbPortDevice>> ReadUsbHubPorts(const fs::path& hubPath) {
  std::error_code ec;
  if (!fs::is_directory(hubPath, ec)) return std::nullopt;
  const auto prefix = PortNamePrefix(hubPath);
  if (!prefix) return std::nullopt;

  std::vector<UsbPortDevice> devices;
  for (fs::directory_iterator it(hubPath, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix->size() || name.compare(0, prefix->size(), *prefix) != 0) continue;
    const auto port = ParseNumber(std::string_view(name).substr(prefix->size()));
    // Port devices are real folders; links (driver, subsystem, port) are not followed.
    std::error_code typeError;
    if (!port || it->is_symlink(typeError) || !it->is_directory(typeError)) continue;
    const auto vendor = ReadHexAttribute(it->path() / "idVendor", 0xFFFF);
    const auto product = ReadHexAttribute(it->path() / "idProduct", 0xFFFF);
    if (!vendor || !product) continue;
    UsbPortDevice device;
    device.port = *port;
    device.path = it->path();
    device.vendorId = static_cast<uint16_t>(*vendor);
    device.productId = static_cast<uint16_t>(*product);
    device.deviceClass = static_cast<uint8_t>(ReadHexAttribute(it->path() / "bDeviceClass", 0xFF).value_or(0));
    devices.push_back(std::move(device));
  }
  std::sort(devices.begin(), devices.end(), [](const auto& a, const auto& b) { return a.port < b.port; });
  return devices;
}

}  // namespace Kestrilon::Platform
