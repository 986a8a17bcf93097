// kestrilon-machine usb: the USB devices key detection sees, for support staff.
//
// One line per attached device that is not a hub, in the order key detection walks them: its device
// id as the page writes key ids, then its place in the tree. The sysfs root is $KESTRILON_SYSFS_ROOT,
// else /sys.
#include <cstdio>
#include <set>

#include "platform/usb/usb.h"
#include "tools/kestrilon-machine/commands.h"

namespace Kestrilon::Tools {
namespace {

void PrintHub(const std::filesystem::path& hub, int depth) {
  if (depth > 16) return;
  const auto ports = Platform::ReadUsbHubPorts(hub);
  if (!ports) return;
  for (const auto& device : *ports) {
    if (device.IsHub()) {
      PrintHub(device.path, depth + 1);
    } else {
      std::printf("0x%08X  %s\n", device.DeviceId(), device.path.filename().c_str());
    }
  }
}

}  // namespace

int RunUsb(const Arguments& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "kestrilon-machine: usb takes no arguments\n");
    return 1;
  }
  std::set<std::string> walked;
  for (const auto& rootHub : Platform::FindUsbRootHubs(Platform::UsbSysfsRoot())) {
    if (walked.insert(rootHub.identity).second) PrintHub(rootHub.path, 0);
  }
  return 0;
}

}  // namespace Kestrilon::Tools
