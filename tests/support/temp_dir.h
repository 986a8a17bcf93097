#pragma once
// A temporary folder removed with everything in it when the object goes.
#include <filesystem>
#include <string>

namespace Kestrilon::Testing {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "kestrilon-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Text of a whole file ("" when missing) and writing one, creating its folder.
std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, const std::string& text);

}  // namespace Kestrilon::Testing
