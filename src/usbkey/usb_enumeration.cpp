// The walk over the USB tree: root hubs, their ports, external hubs to any depth.
#include <algorithm>
#include <set>

#include "platform/text/text.h"
#include "platform/usb/usb.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

// The tiers of hubs USB allows are far fewer; the limit only guards against a looping tree.
constexpr int kMaxHubDepth = 16;

struct Walk {
  std::set<std::string> visitedRootHubs;
  std::vector<uint32_t> ids;

  void WalkHub(const std::filesystem::path& hub, int depth) {
    if (depth > kMaxHubDepth) return;
    const auto ports = Platform::ReadUsbHubPorts(hub);
    if (!ports) return;  // a hub that cannot be read is skipped
    for (const auto& device : *ports) {
      if (device.IsHub()) {
        WalkHub(device.path, depth + 1);
      } else {
        ids.push_back(device.DeviceId());
      }
    }
  }
};

}  // namespace

std::vector<uint32_t> EnumerateUsbDeviceIds() {
  Walk walk;
  for (const auto& rootHub : Platform::FindUsbRootHubs(Platform::UsbSysfsRoot())) {
    // A controller reached twice (by its bus name and as a root hub entry) is walked once.
    if (!walk.visitedRootHubs.insert(rootHub.identity).second) continue;
    walk.WalkHub(rootHub.path, 0);
  }
  return walk.ids;
}

bool IsUsbDevicePresent(uint32_t deviceId) {
  const auto ids = EnumerateUsbDeviceIds();
  return std::find(ids.begin(), ids.end(), deviceId) != ids.end();
}

uint32_t ParseKeyId(std::u16string_view text) {
  const std::string utf8 = Platform::ToUtf8(text);
  size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (i < utf8.size() && isSpace(utf8[i])) ++i;
  bool negative = false;
  if (i < utf8.size() && (utf8[i] == '+' || utf8[i] == '-')) negative = utf8[i++] == '-';
  // "0x" counts as a prefix only when a digit follows; otherwise the "0" alone is read.
  if (i + 2 < utf8.size() && utf8[i] == '0' && (utf8[i + 1] == 'x' || utf8[i + 1] == 'X') &&
      digit(utf8[i + 2]) >= 0) {
    i += 2;
  }
  uint64_t value = 0;
  bool overflow = false;
  bool anyDigit = false;
  for (; i < utf8.size() && digit(utf8[i]) >= 0; ++i) {
    anyDigit = true;
    value = value * 16 + static_cast<uint64_t>(digit(utf8[i]));
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;
    }
  }
  if (!anyDigit) return 0;
  if (overflow) return 0xFFFFFFFFu;
  const auto result = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - result) : result;
}

}  // namespace Kestrilon::UsbKey
