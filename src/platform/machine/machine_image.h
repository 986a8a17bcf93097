#pragma once
// The machine image: the folder that stands in for the Windows machine the program expects.
//
// It holds the registry database, the drive folders (dosdevices/c: -> drive_c) and the machine's
// profile. It is $KESTRILON_MACHINE, else $XDG_DATA_HOME/kestrilon/machine
// (~/.local/share/kestrilon/machine), and is created with the default profile the first time anything
// opens it.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace Kestrilon::Platform {

// What Windows the image stands for.
struct MachineProfile {
  std::string name;           // "win10-x64", "win7-x86", "winxp-x86"
  bool native64 = false;      // 64-bit Windows
  bool wow64Process = false;  // the program runs as a 32-bit process on 64-bit Windows
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;
  uint16_t servicePackMajor = 0;
  uint16_t servicePackMinor = 0;
  uint8_t productType = 1;    // VER_NT_WORKSTATION
  uint16_t suiteMask = 0;
  std::u16string productName;  // HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProductName
  std::u16string csdVersion;   // "Service Pack 1", or empty
  std::u16string ieVersion;    // the browser's version text, e.g. u"11.0.19041.1"
};

class MachineImage {
 public:
  // The image this process uses, opened (and created when missing) on first use. When it can neither be
  // opened nor created, the process reports why on standard error and exits with status 70.
  static MachineImage& Current();
  // Chooses the image folder before first use (the tools' --machine option, tests). Later calls replace
  // the current image; earlier references to it stay valid until then.
  static void UseDirectory(const std::filesystem::path& root);
  // The folder Current() would open: the chosen one, $KESTRILON_MACHINE, or the default.
  static std::filesystem::path DefaultDirectory();

  // Creates an image with a named profile (kestrilon-machine init). With force, an existing image is
  // removed first; without it an existing image is kept and false is returned with a reason.
  static bool Create(const std::filesystem::path& root, const std::string& profileName, bool force,
                     std::string* error = nullptr);
  static std::vector<std::string> ProfileNames();

  const std::filesystem::path& Root() const { return root_; }
  const MachineProfile& Profile() const { return profile_; }
  std::filesystem::path RegistryDatabasePath() const;
  // The host folder of a drive letter (through dosdevices/<letter>:), empty when the drive is unknown.
  std::filesystem::path DriveRoot(char letter) const;
  // The Windows user the image's HKCU and profile folders belong to.
  const std::u16string& UserName() const { return userName_; }

 private:
  MachineImage() = default;
  std::filesystem::path root_;
  MachineProfile profile_;
  std::u16string userName_;
  friend class MachineImageLoader;
};

}  // namespace Kestrilon::Platform
