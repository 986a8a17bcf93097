#include "bridge_fixture.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace Kestrilon::App {
namespace {

using namespace Platform;

constexpr char16_t kSettingsKey[] = u"Software\\Kestrilon\\kestrilon-assistant\\Settings";

TEST_F(BridgeTest, ReadingAMissingSettingGivesTheDefaultAndLeavesTheKeysBehind) {
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Kestrilon", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Call(u"load_settings", ScriptValue::String(u"Never"), ScriptValue::String(u"dflt")),
            ScriptValue::String(u"dflt"));
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, kSettingsKey, KEY_READ, key), ERROR_SUCCESS);
  uint32_t subKeys = 9, values = 9;
  ASSERT_EQ(key.QueryInfo(&subKeys, &values), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
}

TEST_F(BridgeTest, SaveSettingsStoresTheKindsWindowsStores) {
  Call(u"save_settings", ScriptValue::String(u"Count"), ScriptValue::I4(-5));
  Call(u"save_settings", ScriptValue::String(u"ConfigUrl"), ScriptValue::String(u"https://bank.example/配置.xml"));
  Call(u"save_settings", ScriptValue::String(u"IsFirstStart"), ScriptValue::Bool(true));
  Call(u"save_settings", ScriptValue::String(u"Off"), ScriptValue::Bool(false));
  EXPECT_TRUE(events.empty());

  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, kSettingsKey, KEY_READ, key), ERROR_SUCCESS);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(key.QueryValue(u"count", &type, data), ERROR_SUCCESS);  // names ignore letter case
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{0xFB, 0xFF, 0xFF, 0xFF}));
  ASSERT_EQ(key.QueryValue(u"ConfigUrl", &type, data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(data, EncodeRegString(u"https://bank.example/配置.xml"));  // with its terminating null
  uint32_t flag = 0;
  ASSERT_EQ(key.GetDword(u"IsFirstStart", flag), ERROR_SUCCESS);
  EXPECT_EQ(flag, 0xFFFFFFFFu);
  ASSERT_EQ(key.GetDword(u"Off", flag), ERROR_SUCCESS);
  EXPECT_EQ(flag, 0u);
  EXPECT_EQ(GetProfileString(kSettingsSection, u"CONFIGURL", u""), u"https://bank.example/配置.xml");
}

TEST_F(BridgeTest, LoadSettingsAnswersInTheDefaultsKind) {
  ASSERT_TRUE(WriteProfileInt(kSettingsSection, u"MinusOne", -1));
  ASSERT_TRUE(WriteProfileInt(kSettingsSection, u"Zero", 0));
  ASSERT_TRUE(WriteProfileInt(kSettingsSection, u"One", 1));
  ASSERT_TRUE(WriteProfileInt(kSettingsSection, u"Big", 0x00012345));
  ASSERT_TRUE(WriteProfileInt(kSettingsSection, u"High", 0x7FFF8000));
  ASSERT_TRUE(WriteProfileString(kSettingsSection, u"Text", u"文本"));
  const auto key = [](const char16_t* k) { return ScriptValue::String(k); };
  const struct {
    const char16_t* name;
    ScriptValue defaultValue, expected;
  } cases[] = {
      {u"One", ScriptValue::I4(7), ScriptValue::I4(1)},
      {u"Missing", ScriptValue::I4(7), ScriptValue::I4(7)},
      {u"Text", ScriptValue::String(u"d"), ScriptValue::String(u"文本")},
      {u"Missing", ScriptValue::String(u"d"), ScriptValue::String(u"d")},
      {u"One", ScriptValue::String(u"d"), ScriptValue::String(u"d")},  // an integer is no string
      {u"Text", ScriptValue::I4(3), ScriptValue::I4(3)},               // a string is no integer
      // A boolean reads the low 16 bits of the stored integer.
      {u"MinusOne", ScriptValue::Bool(false), ScriptValue::Bool(true)},
      {u"Zero", ScriptValue::Bool(true), ScriptValue::Bool(false)},
      {u"One", ScriptValue::Bool(false), ScriptValue::BoolRaw(1)},
      {u"Big", ScriptValue::Bool(false), ScriptValue::BoolRaw(0x2345)},
      {u"High", ScriptValue::Bool(false), ScriptValue::BoolRaw(static_cast<int16_t>(0x8000))},
      {u"Missing", ScriptValue::Bool(true), ScriptValue::Bool(true)},
      {u"Missing", ScriptValue::Bool(false), ScriptValue::Bool(false)},
      {u"Missing", ScriptValue::BoolRaw(5), ScriptValue::Bool(true)},  // any non-zero default is true
  };
  for (const auto& c : cases) {
    const ScriptValue got = Call(u"load_settings", key(c.name), c.defaultValue);
    EXPECT_EQ(got, c.expected) << Platform::ToUtf8(c.name) << " got kind " << got.Kind() << " value " << got.AsI4()
                               << got.BoolValue();
  }
  EXPECT_TRUE(events.empty());
}

TEST_F(BridgeTest, SettingsSurviveBetweenOpensOfTheImage) {
  Call(u"save_settings", ScriptValue::String(u"Kept"), ScriptValue::String(u"yes"));
  MachineImage::UseDirectory(machine.Path() / "image");  // reopen from disk
  EXPECT_EQ(Call(u"load_settings", ScriptValue::String(u"kept"), ScriptValue::String(u"")), ScriptValue::String(u"yes"));
}

}  // namespace
}  // namespace Kestrilon::App
