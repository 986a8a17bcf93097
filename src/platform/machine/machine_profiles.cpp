#include "platform/machine/machine_profiles.h"

namespace Kestrilon::Platform {

namespace {

constexpr uint16_t VER_SUITE_SINGLEUSERTS = 0x0100;

std::vector<ProfileDefinition> MakeDefinitions() {
  std::vector<ProfileDefinition> list;

  // 64-bit Windows 10 22H2 with Internet Explorer 11; the program runs as a 32-bit process, as shipped.
  ProfileDefinition win10;
  win10.profile = {"win10-x64", true, true, 10, 0, 19045, 0, 0, 1, VER_SUITE_SINGLEUSERTS,
                   u"Windows 10 Pro", u"", u"11.0.19041.1"};
  win10.revision = 1;
  win10.editionId = u"Professional";
  win10.releaseId = u"2009";
  win10.displayVersion = u"22H2";
  win10.ieVersionValue = u"9.11.19041.0";
  win10.ieSvcVersion = u"11.0.19041.1";
  win10.windowsFolder = u"Windows";
  win10.systemFolder = u"System32";
  win10.cacheFolder = u"AppData\\Local\\Microsoft\\Windows\\INetCache";
  win10.cookiesFolder = u"AppData\\Local\\Microsoft\\Windows\\INetCookies";
  list.push_back(win10);

  // 32-bit Windows 7 SP1 as installed, with the Internet Explorer 8 it ships with.
  ProfileDefinition win7;
  win7.profile = {"win7-x86", false, false, 6, 1, 7601, 1, 0, 1, VER_SUITE_SINGLEUSERTS,
                  u"Windows 7 Professional", u"Service Pack 1", u"8.0.7601.17514"};
  win7.revision = 17514;
  win7.editionId = u"Professional";
  win7.ieVersionValue = u"8.0.7601.17514";
  win7.windowsFolder = u"Windows";
  win7.systemFolder = u"System32";
  win7.cacheFolder = u"AppData\\Local\\Microsoft\\Windows\\Temporary Internet Files";
  win7.cookiesFolder = u"AppData\\Roaming\\Microsoft\\Windows\\Cookies";
  list.push_back(win7);

  // Windows XP SP3 with Internet Explorer 8, the browser online banking asked of XP machines.
  ProfileDefinition xp;
  xp.profile = {"winxp-x86", false, false, 5, 1, 2600, 3, 0, 1, VER_SUITE_SINGLEUSERTS,
                u"Microsoft Windows XP", u"Service Pack 3", u"8.0.6001.18702"};
  xp.revision = 5512;
  xp.ieVersionValue = u"8.0.6001.18702";
  xp.usersFolder = false;
  xp.windowsFolder = u"WINDOWS";
  xp.systemFolder = u"system32";
  xp.cacheFolder = u"Local Settings\\Temporary Internet Files";
  xp.cookiesFolder = u"Cookies";
  list.push_back(xp);
  return list;
}

}  // namespace

const std::vector<ProfileDefinition>& ProfileDefinitions() {
  static const std::vector<ProfileDefinition> definitions = MakeDefinitions();
  return definitions;
}

const ProfileDefinition* FindProfileDefinition(std::string_view name) {
  for (const ProfileDefinition& definition : ProfileDefinitions())
    if (definition.profile.name == name) return &definition;
  return nullptr;
}

}  // namespace Kestrilon::Platform
