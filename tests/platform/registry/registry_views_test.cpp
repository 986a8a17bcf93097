// The 32- and 64-bit views, the merged HKCR and the user-then-machine lookup, on each profile.
#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "support/temp_machine.h"

namespace Kestrilon::Platform {
namespace {

bool HasValue(RegistryRoot root, std::u16string_view path, std::u16string_view name, uint32_t view = 0) {
  RegistryKey key;
  uint32_t value = 0;
  return RegistryKey::Open(root, path, KEY_READ | view, key) == ERROR_SUCCESS && key.GetDword(name, value) == ERROR_SUCCESS;
}

void Write(RegistryRoot root, std::u16string_view path, std::u16string_view name, uint32_t view = 0) {
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(root, path, KEY_ALL_ACCESS | view, key), ERROR_SUCCESS) << std::string(path.begin(), path.end());
  ASSERT_EQ(key.SetDword(name, 1), ERROR_SUCCESS);
}

TEST(RegistryViewTest, ThirtyTwoBitProgramOn64BitWindowsSeesWow6432Node) {
  Testing::TempMachine machine("win10-x64");
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Control", u"default");

  EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\Bank\\Control", u"default", KEY_WOW64_64KEY));
  EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Control", u"default", KEY_WOW64_64KEY));
  EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Control", u"default", KEY_WOW64_32KEY));

  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Control", u"native", KEY_WOW64_64KEY);
  EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank\\Control", u"native"));

  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(key.FullName(), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Bank");
  // A sub-key keeps the view of its parent unless it asks for another.
  RegistryKey child;
  ASSERT_EQ(key.OpenSubKey(u"Control", KEY_READ, child), ERROR_SUCCESS);
  uint32_t value = 0;
  EXPECT_EQ(child.GetDword(u"default", value), ERROR_SUCCESS);
  EXPECT_EQ(child.GetDword(u"native", value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.OpenSubKey(u"Control", KEY_READ | KEY_WOW64_64KEY, child), ERROR_SUCCESS);
  EXPECT_EQ(child.GetDword(u"native", value), ERROR_SUCCESS);

  // The root of Software itself is the 32-bit copy.
  RegistryKey software;
  ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"Software", KEY_READ, software), ERROR_SUCCESS);
  EXPECT_EQ(software.FullName(), u"HKEY_LOCAL_MACHINE\\Software\\Wow6432Node");
}

TEST(RegistryViewTest, SharedAndUserKeysAreNotSplit) {
  Testing::TempMachine machine("win10-x64");
  struct Case {
    RegistryRoot root;
    std::u16string_view path;
    bool split;
  };
  const Case cases[] = {
      {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Policies\\Microsoft\\Internet Explorer", false},
      {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.bank", false},
      {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID\\{00000000-0000-0000-0000-000000000001}", true},
      {HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Bank", false},
      {HKEY_CURRENT_USER, u"Software\\Microsoft\\Internet Explorer\\Main", false},
      {HKEY_CLASSES_ROOT, u"CLSID\\{00000000-0000-0000-0000-000000000002}", true},
      {HKEY_CLASSES_ROOT, u"Interface\\{00000000-0000-0000-0000-000000000003}", true},
      {HKEY_CLASSES_ROOT, u"BankControl.Object", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    Write(c.root, c.path, u"v32", KEY_WOW64_32KEY);
    EXPECT_EQ(HasValue(c.root, c.path, u"v32", KEY_WOW64_64KEY), !c.split);
  }
  RegistryKey clsid;
  ASSERT_EQ(RegistryKey::Open(HKEY_CLASSES_ROOT, u"CLSID", KEY_READ, clsid), ERROR_SUCCESS);
  EXPECT_EQ(clsid.FullName(), u"HKEY_CLASSES_ROOT\\Wow6432Node\\CLSID");
}

TEST(RegistryViewTest, ThirtyTwoBitWindowsHasOneView) {
  for (const char* profile : {"win7-x86", "winxp-x86"}) {
    SCOPED_TRACE(profile);
    Testing::TempMachine machine(profile);
    Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"v", KEY_WOW64_32KEY);
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"v", KEY_WOW64_64KEY));
    RegistryKey node;
    EXPECT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node", KEY_READ, node), ERROR_FILE_NOT_FOUND);
  }
}

TEST(RegistryViewTest, SixtyFourBitProgramGetsTheNativeViewUnlessItAsks) {
  Testing::TempMachine machine("win10-x64");
  RegistryLocation native{machine.Root() / "registry.db", true, false, std::u16string(kImageUserSid)};
  RegistryScope scope(native);
  ASSERT_EQ(scope.Status(), ERROR_SUCCESS);
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"native");
  Write(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"forced32", KEY_WOW64_32KEY);
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(key.FullName(), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Bank");
  EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\Bank", u"forced32"));
  EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"forced32"));
}

TEST(RegistryViewTest, ClassesRootMergesTheUserOverTheMachine) {
  Testing::TempMachine machine("win7-x86");
  RegistryKey machineKey, userKey, merged;
  ASSERT_EQ(RegistryKey::Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Bank.Control", KEY_ALL_ACCESS, machineKey), 0);
  machineKey.SetString(u"", u"machine");
  machineKey.SetString(u"OnlyMachine", u"m");
  RegistryKey sub;
  machineKey.CreateSubKey(u"MachineSub", KEY_ALL_ACCESS, sub);

  // Only in the machine's classes: reads and writes through HKCR go there.
  ASSERT_EQ(RegistryKey::Open(HKEY_CLASSES_ROOT, u"Bank.Control", KEY_ALL_ACCESS, merged), ERROR_SUCCESS);
  ASSERT_EQ(merged.SetString(u"Written", u"1"), ERROR_SUCCESS);
  std::u16string text;
  EXPECT_EQ(machineKey.GetString(u"Written", text), ERROR_SUCCESS);

  // Once the user has the key, the user's values win and writes go to the user's.
  ASSERT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Software\\Classes\\Bank.Control", KEY_ALL_ACCESS, userKey), 0);
  userKey.SetString(u"", u"user");
  userKey.CreateSubKey(u"UserSub", KEY_ALL_ACCESS, sub);
  ASSERT_EQ(RegistryKey::Open(HKEY_CLASSES_ROOT, u"bank.control", KEY_ALL_ACCESS, merged), ERROR_SUCCESS);
  EXPECT_EQ(merged.GetString(u"", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"user");
  EXPECT_EQ(merged.GetString(u"OnlyMachine", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"m");
  ASSERT_EQ(merged.SetString(u"Later", u"2"), ERROR_SUCCESS);
  EXPECT_EQ(userKey.GetString(u"Later", text), ERROR_SUCCESS);
  EXPECT_EQ(machineKey.GetString(u"Later", text), ERROR_FILE_NOT_FOUND);

  std::vector<std::u16string> subKeys;
  std::u16string name;
  for (uint32_t i = 0; merged.EnumKey(i, name) == ERROR_SUCCESS; ++i) subKeys.push_back(name);
  EXPECT_EQ(subKeys, (std::vector<std::u16string>{u"MachineSub", u"UserSub"}));
  uint32_t values = 0;
  ASSERT_EQ(merged.QueryInfo(nullptr, &values), ERROR_SUCCESS);
  EXPECT_EQ(values, 4u);  // (Default) and Later of the user; OnlyMachine and Written of the machine

  // A new key under HKCR goes to the machine's classes.
  RegistryKey created;
  ASSERT_EQ(RegistryKey::Create(HKEY_CLASSES_ROOT, u"New.Thing", KEY_ALL_ACCESS, created), ERROR_SUCCESS);
  EXPECT_TRUE(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\New.Thing", KEY_READ, sub) == ERROR_SUCCESS);
  EXPECT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Classes\\New.Thing", KEY_READ, sub), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryViewTest, UserValueComesFirstThenTheMachines) {
  Testing::TempMachine machine("win10-x64");
  const std::u16string path = u"Software\\Microsoft\\Internet Explorer\\BrowserEmulation";
  std::vector<uint8_t> data;
  uint32_t type = 0;
  EXPECT_EQ(RegGetUSValue(path, u"AllSitesCompatibilityMode", &type, data), ERROR_FILE_NOT_FOUND);

  RegistryKey machineKey, userKey;
  ASSERT_EQ(RegistryKey::Create(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, machineKey), ERROR_SUCCESS);
  machineKey.SetDword(u"AllSitesCompatibilityMode", 7);
  ASSERT_EQ(RegGetUSValue(path, u"AllSitesCompatibilityMode", &type, data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{7, 0, 0, 0}));

  ASSERT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS, userKey), ERROR_SUCCESS);
  userKey.SetDword(u"AllSitesCompatibilityMode", 1);
  ASSERT_EQ(RegGetUSValue(path, u"AllSitesCompatibilityMode", &type, data), ERROR_SUCCESS);
  EXPECT_EQ(data[0], 1);
  ASSERT_EQ(RegGetUSValue(path, u"AllSitesCompatibilityMode", &type, data, true), ERROR_SUCCESS);
  EXPECT_EQ(data[0], 7);
}

TEST(RegistryViewTest, CurrentUserIsTheImageUsersKeyInHkeyUsers) {
  Testing::TempMachine machine("win7-x86");
  Write(HKEY_CURRENT_USER, u"Software\\Bank", u"v");
  EXPECT_TRUE(HasValue(HKEY_USERS, u"S-1-5-21-2147483647-1073741823-536870911-1001\\Software\\Bank", u"v"));
  RegistryKey defaults;
  EXPECT_EQ(RegistryKey::Open(HKEY_USERS, u".DEFAULT", KEY_READ, defaults), ERROR_SUCCESS);
}

}  // namespace
}  // namespace Kestrilon::Platform
