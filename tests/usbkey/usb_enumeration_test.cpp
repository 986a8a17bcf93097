// The walk over fixture sysfs trees: depth, hubs, controllers reached twice, whole-id comparison.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/temp_dir.h"
#include "usbkey/usb_fixture.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

using Testing::TempDir;
using Testing::UsbFixtureTree;
using ::testing::ElementsAre;

constexpr uint32_t kKey = 0x096E0713;

class UsbEnumerationTest : public ::testing::Test {
 protected:
  UsbEnumerationTest() : tree_(dir_.Path()) { setenv("KESTRILON_SYSFS_ROOT", dir_.Path().c_str(), 1); }
  ~UsbEnumerationTest() override { unsetenv("KESTRILON_SYSFS_ROOT"); }
  TempDir dir_;
  UsbFixtureTree tree_;
};

TEST_F(UsbEnumerationTest, KeyBehindTwoHubsIsFoundAndHubsAreNotListed) {
  const auto root = tree_.AddRootHub(1, "pci0000:00/0000:00:14.0");
  const auto outer = tree_.AddDevice(root, 1, 0x05E3, 0x0610, 0x09);
  tree_.AddDevice(root, 10, 0x046D, 0xC077);  // port 10 comes after port 2
  tree_.AddDevice(root, 2, 0x8087, 0x0026, 0xE0);
  const auto inner = tree_.AddDevice(outer, 3, 0x2109, 0x2812, 0x09);
  tree_.AddDevice(inner, 4, 0x096E, 0x0713);

  EXPECT_THAT(EnumerateUsbDeviceIds(), ElementsAre(0x096E0713u, 0x80870026u, 0x046DC077u));
  EXPECT_TRUE(IsUsbDevicePresent(kKey));
  EXPECT_FALSE(IsUsbDevicePresent(0x05E30610));  // a hub is no device of the list
}

TEST_F(UsbEnumerationTest, ControllerReachedTwiceIsWalkedOnceAndTwoEqualKeysCountTwice) {
  const auto root = tree_.AddRootHub(1, "pci0000:00/0000:00:14.0");
  tree_.AddDevice(root, 1, 0x096E, 0x0713);
  tree_.AddDevice(root, 2, 0x096E, 0x0713);
  tree_.AddBusLink("usb9", root);  // the same root hub under a second name
  // A second controller with its own root hub is walked after the first.
  const auto second = tree_.AddRootHub(2, "pci0000:00/0000:00:1d.0");
  tree_.AddDevice(second, 1, 0xD449, 0x0004);

  EXPECT_THAT(EnumerateUsbDeviceIds(), ElementsAre(kKey, kKey, 0xD4490004u));
}

TEST_F(UsbEnumerationTest, UnreadableDescriptorIsSkippedAndTheWalkGoesOn) {
  const auto root = tree_.AddRootHub(1, "pci0000:00/0000:00:14.0");
  const auto broken = tree_.AddDevice(root, 1, 0x1111, 0x2222);
  Testing::WriteFileText(broken / "idVendor", "not hex\n");
  tree_.AddDevice(root, 2, 0x096E, 0x0713);

  EXPECT_THAT(EnumerateUsbDeviceIds(), ElementsAre(kKey));
}

TEST_F(UsbEnumerationTest, WholeIdIsCompared) {
  tree_.AddDevice(tree_.AddRootHub(1, "pci0000:00/0000:00:14.0"), 1, 0x096E, 0x0714);
  EXPECT_TRUE(IsUsbDevicePresent(0x096E0714));
  EXPECT_FALSE(IsUsbDevicePresent(kKey));
  EXPECT_FALSE(IsUsbDevicePresent(0x0714096E));
  EXPECT_FALSE(IsUsbDevicePresent(0x0714));
}

TEST_F(UsbEnumerationTest, EveryCallWalksAgain) {
  const auto root = tree_.AddRootHub(1, "pci0000:00/0000:00:14.0");
  EXPECT_FALSE(IsUsbDevicePresent(kKey));
  const auto key = tree_.AddDevice(root, 1, 0x096E, 0x0713);
  EXPECT_TRUE(IsUsbDevicePresent(kKey));
  std::filesystem::remove_all(key);
  EXPECT_FALSE(IsUsbDevicePresent(kKey));
}

TEST(UsbEnumerationWithoutUsb, EveryKeyIsAbsent) {
  TempDir dir;  // a sysfs without bus/usb, as on a machine without USB
  setenv("KESTRILON_SYSFS_ROOT", dir.Path().c_str(), 1);
  EXPECT_TRUE(EnumerateUsbDeviceIds().empty());
  EXPECT_FALSE(IsUsbDevicePresent(kKey));
  EXPECT_FALSE(IsUsbDevicePresent(0));
  unsetenv("KESTRILON_SYSFS_ROOT");
}

TEST(ParseKeyId, ReadsTheTextAsStrtoulInBase16) {
  const struct {
    std::u16string text;
    uint32_t id;
  } cases[] = {
      {u"0x096E0713", 0x096E0713}, {u"0XD4490004", 0xD4490004}, {u"096e0713", 0x096E0713},
      {u"  0x10zz", 0x10},         {u"", 0},                    {u"0x", 0},
      {u"0xg", 0},                 {u"zz", 0},                  {u"-1", 0xFFFFFFFF},
      {u"+0x20", 0x20},            {u"0x100000000", 0xFFFFFFFF}, {u"0x0000000012345678", 0x12345678},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseKeyId(c.text), c.id) << std::string(c.text.begin(), c.text.end());
  }
}

}  // namespace
}  // namespace Kestrilon::UsbKey
