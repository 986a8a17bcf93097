#pragma once
// A throw-away machine image for the network tests, with helpers to set the user's proxy settings.
#include <gtest/gtest.h>

#include <string>

#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "support/temp_dir.h"

namespace Kestrilon::Network {

class NetworkImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(Platform::MachineImage::Create(image_.Path(), "win10-x64", true, &error)) << error;
    Platform::MachineImage::UseDirectory(image_.Path());
  }

  static void SetInternetSetting(std::u16string_view name, const std::string& text) {
    Platform::RegistryKey key;
    ASSERT_EQ(Platform::RegistryKey::Create(Platform::HKEY_CURRENT_USER, kInternetSettings, Platform::KEY_ALL_ACCESS, key),
              Platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(name, Platform::ToUtf16(text)), Platform::ERROR_SUCCESS);
  }
  static void EnableProxy(const std::string& server, const std::string& bypass = "") {
    Platform::RegistryKey key;
    ASSERT_EQ(Platform::RegistryKey::Create(Platform::HKEY_CURRENT_USER, kInternetSettings, Platform::KEY_ALL_ACCESS, key),
              Platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword(u"ProxyEnable", 1), Platform::ERROR_SUCCESS);
    SetInternetSetting(u"ProxyServer", server);
    if (!bypass.empty()) SetInternetSetting(u"ProxyOverride", bypass);
  }

  static constexpr std::u16string_view kInternetSettings =
      u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  Testing::TempDir image_{"kestrilon-net"};
};

}  // namespace Kestrilon::Network
