#pragma once
// A throw-away machine image with a chosen profile, made the current image while the object lives.
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace Kestrilon::Testing {

class TempMachine {
 public:
  // Creates the image (throws std::runtime_error when it cannot) and makes it current.
  explicit TempMachine(const std::string& profile = "win10-x64");
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;
  const std::filesystem::path& Root() const { return root_; }
  // The host path of a path below C:\ ("Windows/System32").
  std::filesystem::path DriveC(const std::string& relative = "") const;

 private:
  TempDir dir_;
  std::filesystem::path root_;
};

}  // namespace Kestrilon::Testing
