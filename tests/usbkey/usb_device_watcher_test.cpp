// The watcher: real udev notifications on the netlink channel, and the callbacks behind them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "usbkey/recording_dialog.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

using Testing::RecordingDialog;
using ::testing::ElementsAre;

// udev's hash of the subsystem and device type, which its socket filters compare (MurmurHash2, seed 0).
uint32_t UdevHash(const std::string& text) {
  const uint32_t m = 0x5bd1e995;
  uint32_t h = static_cast<uint32_t>(text.size());
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  size_t length = text.size();
  for (; length >= 4; data += 4, length -= 4) {
    uint32_t k;
    std::memcpy(&k, data, 4);
    k *= m;
    k ^= k >> 24;
    k *= m;
    h = (h * m) ^ k;
  }
  switch (length) {
    case 3: h ^= data[2] << 16; [[fallthrough]];
    case 2: h ^= data[1] << 8; [[fallthrough]];
    case 1: h ^= data[0]; h *= m;
  }
  h ^= h >> 13;
  h *= m;
  h ^= h >> 15;
  return h;
}

// Sends what udevd sends after processing a kernel event: the "libudev" header, then the properties.
// Needs the right to send to a netlink multicast group (root in this network namespace).
bool SendUdevEvent(const std::string& action, const std::string& subsystem, const std::string& devtype) {
  struct Header {
    char prefix[8];
    uint32_t magic, headerSize, propertiesOffset, propertiesLength;
    uint32_t subsystemHash, devtypeHash, tagBloomHigh, tagBloomLow;
  } header{};
  std::memcpy(header.prefix, "libudev", 8);
  header.magic = htonl(0xfeedcafe);
  header.headerSize = sizeof header;
  header.propertiesOffset = sizeof header;
  header.subsystemHash = htonl(UdevHash(subsystem));
  header.devtypeHash = htonl(UdevHash(devtype));
  std::string properties;
  for (const std::string& property :
       {"ACTION=" + action, std::string("DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4"), "SUBSYSTEM=" + subsystem,
        "DEVTYPE=" + devtype, std::string("SEQNUM=4711")}) {
    properties += property;
    properties += '\0';
  }
  header.propertiesLength = static_cast<uint32_t>(properties.size());
  std::string message(reinterpret_cast<const char*>(&header), sizeof header);
  message += properties;

  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return false;
  sockaddr_nl destination{};
  destination.nl_family = AF_NETLINK;
  destination.nl_groups = 2;  // udev's group
  const bool sent = sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&destination),
                           sizeof destination) == static_cast<ssize_t>(message.size());
  close(fd);
  return sent;
}

// Serves the watcher as the program's loops do: through the host event source of its descriptor.
void ServeHostEventSourceOf(int fd) {
  int32_t id = 0;
  for (const auto& source : UI::HostEventSources()) {
    if (source.fd == fd) id = source.id;
  }
  ASSERT_NE(id, 0) << "the watcher's descriptor is no host event source";
  UI::DispatchHostEventSource(id);
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) == 1;
}

// The process has one watcher; every test shares it.
class UsbDeviceWatcherTest : public ::testing::Test {
 protected:
  static UsbDeviceWatcher& Watcher() {
    static UsbDeviceWatcher& watcher = InstallUsbDeviceWatcher();
    return watcher;
  }
};

TEST_F(UsbDeviceWatcherTest, UdevNotificationOfAUsbDeviceAsksThePageToDetectItsKeys) {
  UsbDeviceWatcher& watcher = Watcher();
  if (watcher.NotificationFd() < 0) GTEST_SKIP() << "this machine offers no udev netlink monitor";
  RecordingDialog page;
  if (!SendUdevEvent("add", "usb", "usb_device")) {
    GTEST_SKIP() << "this sandbox refuses to send on the udev netlink group; the dispatch is tested below";
  }
  ASSERT_TRUE(WaitReadable(watcher.NotificationFd(), 5000));
  ServeHostEventSourceOf(watcher.NotificationFd());
  EXPECT_THAT(page.calls, ElementsAre("isAnyKeyConnect()"));

  // Interfaces and other subsystems do not count; a removal does.
  ASSERT_TRUE(SendUdevEvent("add", "usb", "usb_interface"));
  ASSERT_TRUE(SendUdevEvent("add", "block", "disk"));
  ASSERT_TRUE(SendUdevEvent("remove", "usb", "usb_device"));
  ASSERT_TRUE(WaitReadable(watcher.NotificationFd(), 5000));
  usleep(100 * 1000);  // the three messages are queued together
  watcher.DispatchNotifications();
  EXPECT_THAT(page.calls, ElementsAre("isAnyKeyConnect()", "isAnyKeyConnect()"));

  watcher.DispatchNotifications();  // nothing pending: nothing called, nothing blocks
  EXPECT_EQ(page.calls.size(), 2u);
}

TEST_F(UsbDeviceWatcherTest, DeviceChangeWithoutThePageCallsNothing) {
  UsbDeviceWatcher& watcher = Watcher();
  watcher.DeliverDeviceChange(kDeviceArrival, 0);  // before the dialog exists
  {
    RecordingDialog page;
    watcher.DeliverDeviceChange(kDeviceArrival, 0);
    watcher.DeliverDeviceChange(kDevNodesChanged, 0);
    EXPECT_THAT(page.calls, ElementsAre("isAnyKeyConnect()", "isAnyKeyConnect()"));
  }
  watcher.DeliverDeviceChange(kDeviceRemoveComplete, 0);  // after it has ended
}

std::vector<std::pair<uintptr_t, intptr_t>> seenChanges;
void RecordChange(uintptr_t wParam, intptr_t lParam) { seenChanges.emplace_back(wParam, lParam); }

TEST_F(UsbDeviceWatcherTest, CallbacksRunInTheOrderAddedAndEveryInstallAddsOne) {
  UsbDeviceWatcher& watcher = Watcher();
  EXPECT_EQ(UsbDeviceWatcher::Instance(), &watcher);
  const size_t before = watcher.CallbackCount();
  watcher.AddCallback(&RecordChange);
  EXPECT_EQ(&InstallUsbDeviceWatcher(), &watcher);  // the same watcher, one more NotifyKeyChange
  EXPECT_EQ(watcher.CallbackCount(), before + 2);

  RecordingDialog page;
  watcher.DeliverDeviceChange(kDeviceRemoveComplete, 42);
  EXPECT_THAT(seenChanges, ElementsAre(std::make_pair(kDeviceRemoveComplete, intptr_t{42})));
  // NotifyKeyChange was installed once by the first test's watcher and once here.
  EXPECT_EQ(page.calls.size(), 2u);
}

}  // namespace
}  // namespace Kestrilon::UsbKey
