#include <gtest/gtest.h>

#include <cstdlib>

#include "image_fixture.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {
namespace {

class WindowsEnvironment : public Testing::ImageTest {
 protected:
  std::u16string Get(std::u16string_view name) { return GetWindowsEnvironmentVariable(name).value_or(u"<unset>"); }
  std::u16string User() { return Image().UserName(); }
};

TEST_F(WindowsEnvironment, Wow64ProcessOnWindows10SeesThe32BitProgramFiles) {
  UseProfile("win10-x64");
  const std::u16string profile = u"C:\\Users\\" + User();
  const std::pair<std::u16string, std::u16string> expected[] = {
      {u"windir", u"C:\\Windows"},
      {u"SYSTEMROOT", u"C:\\Windows"},
      {u"SystemDrive", u"C:"},
      {u"ProgramFiles", u"C:\\Program Files (x86)"},
      {u"ProgramFiles(x86)", u"C:\\Program Files (x86)"},
      {u"ProgramW6432", u"C:\\Program Files"},
      {u"CommonProgramFiles", u"C:\\Program Files (x86)\\Common Files"},
      {u"CommonProgramFiles(x86)", u"C:\\Program Files (x86)\\Common Files"},
      {u"ProgramData", u"C:\\ProgramData"},
      {u"ALLUSERSPROFILE", u"C:\\ProgramData"},
      {u"PUBLIC", u"C:\\Users\\Public"},
      {u"USERPROFILE", profile},
      {u"USERNAME", User()},
      {u"APPDATA", profile + u"\\AppData\\Roaming"},
      {u"LOCALAPPDATA", profile + u"\\AppData\\Local"},
      {u"TEMP", profile + u"\\AppData\\Local\\Temp"},  // HKCU\Environment, expanded
      {u"tmp", profile + u"\\AppData\\Local\\Temp"},
      {u"OS", u"Windows_NT"},
      {u"PROCESSOR_ARCHITECTURE", u"x86"},
      {u"PROCESSOR_ARCHITEW6432", u"AMD64"},
      {u"ComSpec", u"C:\\Windows\\System32\\cmd.exe"},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(Get(name), value) << ToUtf8(name);
  EXPECT_FALSE(Get(u"COMPUTERNAME").empty());
}

TEST_F(WindowsEnvironment, ThirtyTwoBitWindows7AndXp) {
  UseProfile("win7-x86");
  EXPECT_EQ(Get(u"ProgramFiles"), u"C:\\Program Files");
  EXPECT_EQ(Get(u"PROCESSOR_ARCHITECTURE"), u"x86");
  EXPECT_FALSE(GetWindowsEnvironmentVariable(u"ProgramFiles(x86)"));
  EXPECT_FALSE(GetWindowsEnvironmentVariable(u"ProgramW6432"));

  ::unsetenv("LOCALAPPDATA");
  UseProfile("winxp-x86");
  const std::u16string profile = u"C:\\Documents and Settings\\" + User();
  EXPECT_EQ(Get(u"USERPROFILE"), profile);
  EXPECT_EQ(Get(u"APPDATA"), profile + u"\\Application Data");
  EXPECT_EQ(Get(u"ALLUSERSPROFILE"), u"C:\\Documents and Settings\\All Users");
  EXPECT_EQ(Get(u"TEMP"), profile + u"\\Local Settings\\Temp");
  EXPECT_EQ(Get(u"windir"), u"C:\\WINDOWS");
  EXPECT_FALSE(GetWindowsEnvironmentVariable(u"LOCALAPPDATA"));  // XP has none
  EXPECT_FALSE(GetWindowsEnvironmentVariable(u"ProgramData"));
}

TEST_F(WindowsEnvironment, RegistryAndProcessVariables) {
  UseProfile("win7-x86");
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Environment", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(u"BankTools", u"%ProgramFiles%\\Bank", REG_EXPAND_SZ), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(u"Literal", u"%windir%", REG_SZ), ERROR_SUCCESS);
  EXPECT_EQ(Get(u"banktools"), u"C:\\Program Files\\Bank");
  EXPECT_EQ(Get(u"Literal"), u"%windir%");

  ::setenv("AppPath", "/opt/kestrilon", 1);
  EXPECT_EQ(Get(u"APPPATH"), u"/opt/kestrilon");
  ::unsetenv("AppPath");
  EXPECT_FALSE(GetWindowsEnvironmentVariable(u"AppPath"));
  EXPECT_FALSE(GetWindowsEnvironmentVariable(u"KESTRILON_SURELY_UNSET"));
  EXPECT_FALSE(GetWindowsEnvironmentVariable(u""));
}

TEST_F(WindowsEnvironment, ExpansionKeepsWhatIsNotAVariable) {
  UseProfile("win7-x86");
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"%windir%\\system32\\drivers\\etc\\hosts", u"C:\\Windows\\system32\\drivers\\etc\\hosts"},
      {u"%ProgramFiles%\\Internet Explorer\\iexplore.exe", u"C:\\Program Files\\Internet Explorer\\iexplore.exe"},
      {u"%WINDIR%%windir%", u"C:\\WindowsC:\\Windows"},
      {u"%NoSuchName%\\x", u"%NoSuchName%\\x"},
      {u"100%", u"100%"},
      {u"%%", u"%%"},
      {u"%%windir%", u"%C:\\Windows"},
      {u"a % b", u"a % b"},
      {u"", u""},
      {u"no variables", u"no variables"},
  };
  for (const auto& [text, expanded] : cases) EXPECT_EQ(ExpandEnvironmentStrings(text), expanded) << ToUtf8(text);
}

}  // namespace
}  // namespace Kestrilon::Platform
