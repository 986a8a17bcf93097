#pragma once
// A throw-away machine image of a chosen profile, made current for the test.
#include <gtest/gtest.h>

#include <string>

#include "platform/machine/machine_image.h"
#include "support/temp_dir.h"

namespace Kestrilon::Testing {

class ImageTest : public ::testing::Test {
 protected:
  void UseProfile(const std::string& profile) {
    const auto root = temp_.Path() / profile;
    std::string error;
    ASSERT_TRUE(Platform::MachineImage::Create(root, profile, /*force=*/true, &error)) << error;
    Platform::MachineImage::UseDirectory(root);
  }
  Platform::MachineImage& Image() { return Platform::MachineImage::Current(); }
  std::filesystem::path DriveC() { return Image().DriveRoot('c'); }

  TempDir temp_;
};

}  // namespace Kestrilon::Testing
