#pragma once
// A throw-away machine image for the helpers' tests, and environment changes undone afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/machine/machine_image.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace Kestrilon::Testing {

class HelperTest : public ::testing::Test {
 protected:
  void UseProfile(const std::string& profile) {
    const auto root = temp_.Path() / ("image-" + profile);
    std::string error;
    ASSERT_TRUE(Platform::MachineImage::Create(root, profile, /*force=*/true, &error)) << error;
    Platform::MachineImage::UseDirectory(root);
  }
  void SetUp() override { UseProfile("win7-x86"); }
  std::filesystem::path DriveC() { return Platform::MachineImage::Current().DriveRoot('c'); }
  std::u16string W(const std::filesystem::path& host) { return std::u16string(host.u16string()); }

  TempDir temp_;
  ScopedEnvironment environment_;
};

}  // namespace Kestrilon::Testing
