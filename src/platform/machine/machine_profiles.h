#pragma once
// The Windows machines an image can stand for (private to platform/machine).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine/machine_image.h"

namespace Kestrilon::Platform {

// A profile and the details of the Windows behind it that only image creation needs.
struct ProfileDefinition {
  MachineProfile profile;
  uint16_t revision = 0;              // the fourth part of kernel32.dll's version
  std::u16string editionId;           // "Professional"
  std::u16string releaseId;           // Windows 10: "2009"
  std::u16string displayVersion;      // Windows 10: "22H2"
  std::u16string ieVersionValue;      // HKLM\SOFTWARE\Microsoft\Internet Explorer\Version
  std::u16string ieSvcVersion;        // ...\svcVersion (Internet Explorer 10 and later), else empty
  bool usersFolder = true;            // Vista and later: C:\Users; XP: C:\Documents and Settings
  std::u16string windowsFolder;       // "Windows" or "WINDOWS"
  std::u16string systemFolder;        // "System32" or "system32"
  std::u16string cacheFolder;         // the Internet cache below the user's profile folder
  std::u16string cookiesFolder;       // the cookies folder below the user's profile folder
};

const std::vector<ProfileDefinition>& ProfileDefinitions();
const ProfileDefinition* FindProfileDefinition(std::string_view name);

}  // namespace Kestrilon::Platform
