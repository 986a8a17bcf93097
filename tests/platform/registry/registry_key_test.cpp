// Keys and values of the registry: names, kinds, sizes, access rights, error codes and order.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/registry/registry.h"
#include "support/temp_machine.h"

namespace Kestrilon::Platform {
namespace {

class RegistryKeyTest : public ::testing::Test {
 protected:
  Testing::TempMachine machine_{"win7-x86"};

  RegistryKey Create(std::u16string_view path, uint32_t access = KEY_ALL_ACCESS) {
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, path, access, key), ERROR_SUCCESS);
    return key;
  }
};

TEST_F(RegistryKeyTest, NamesAreCaseInsensitiveAndKeepTheirFirstCase) {
  RegistryKey key = Create(u"Software\\MiXed\\Inner");
  bool created = true;
  RegistryKey again;
  ASSERT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"SOFTWARE\\mixed\\INNER", KEY_ALL_ACCESS, again, &created),
            ERROR_SUCCESS);
  EXPECT_FALSE(created);

  ASSERT_EQ(key.SetDword(u"Value", 1), ERROR_SUCCESS);
  ASSERT_EQ(again.SetDword(u"VALUE", 2), ERROR_SUCCESS);  // the same value, renamed never
  uint32_t number = 0;
  EXPECT_EQ(key.GetDword(u"vAlUe", number), ERROR_SUCCESS);
  EXPECT_EQ(number, 2u);
  std::u16string name;
  ASSERT_EQ(key.EnumValue(0, name, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(name, u"Value");
  EXPECT_EQ(key.EnumValue(1, name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  RegistryKey parent;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"software\\MIXED", KEY_READ, parent), ERROR_SUCCESS);
  ASSERT_EQ(parent.EnumKey(0, name), ERROR_SUCCESS);
  EXPECT_EQ(name, u"Inner");
}

TEST_F(RegistryKeyTest, EveryKindKeepsItsTypeAndBytes) {
  struct Case {
    uint32_t type;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {REG_SZ, EncodeRegString(u"text \u4e2d\u6587")},
      {REG_EXPAND_SZ, EncodeRegString(u"%SystemRoot%\\system32")},
      {REG_MULTI_SZ, EncodeRegMultiString({u"one", u"two"})},
      {REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {REG_BINARY, {0x00, 0xFF, 0x00}},
      {REG_NONE, {}},
      {REG_SZ, {'a', 0}},  // odd-sized text is stored as given, as Windows does
  };
  RegistryKey key = Create(u"Software\\Kinds");
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::u16string name = u"v" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    ASSERT_EQ(key.SetValue(name, cases[i].type, cases[i].data.data(), static_cast<uint32_t>(cases[i].data.size())),
              ERROR_SUCCESS);
    uint32_t type = 99;
    std::vector<uint8_t> data;
    ASSERT_EQ(key.QueryValue(name, &type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, cases[i].type) << i;
    EXPECT_EQ(data, cases[i].data) << i;
  }

  std::u16string text;
  EXPECT_EQ(key.GetString(u"v0", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"text \u4e2d\u6587");
  std::vector<std::u16string> texts;
  EXPECT_EQ(key.GetMultiString(u"v2", texts), ERROR_SUCCESS);
  EXPECT_EQ(texts, (std::vector<std::u16string>{u"one", u"two"}));
  uint32_t dword = 0;
  EXPECT_EQ(key.GetDword(u"v3", dword), ERROR_SUCCESS);
  EXPECT_EQ(dword, 0x12345678u);
  uint64_t qword = 0;
  EXPECT_EQ(key.GetQword(u"v4", qword), ERROR_SUCCESS);
  EXPECT_EQ(qword, 0x0807060504030201ull);
  EXPECT_EQ(key.GetString(u"v3", text), ERROR_INVALID_PARAMETER);  // a DWORD is not text
  EXPECT_EQ(key.GetDword(u"v5", dword), ERROR_INVALID_PARAMETER);  // 3 bytes are no DWORD
}

TEST_F(RegistryKeyTest, QueryValueReportsTheSizeItNeeds) {
  RegistryKey key = Create(u"Software\\Sizes");
  ASSERT_EQ(key.SetString(u"Name", u"abcd"), ERROR_SUCCESS);  // 10 bytes with the null

  uint32_t size = 0, type = 0;
  EXPECT_EQ(key.QueryValue(u"Name", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(type, REG_SZ);

  char16_t small[2] = {u'x', u'x'};
  size = sizeof small;
  EXPECT_EQ(key.QueryValue(u"Name", nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(small[0], u'x');  // nothing written into a buffer that is too small

  char16_t exact[5] = {};
  size = sizeof exact;
  EXPECT_EQ(key.QueryValue(u"Name", nullptr, exact, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(exact), u"abcd");

  EXPECT_EQ(key.QueryValue(u"Name", nullptr, exact, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.QueryValue(u"Missing", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeyTest, RightsOfTheHandleAreEnforced) {
  Create(u"Software\\Rights\\Child").SetDword(u"v", 1);
  RegistryKey readOnly;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Rights", KEY_READ, readOnly), ERROR_SUCCESS);
  RegistryKey sub;
  EXPECT_EQ(readOnly.SetDword(u"x", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(readOnly.DeleteValue(u"x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(readOnly.CreateSubKey(u"New", KEY_ALL_ACCESS, sub), ERROR_ACCESS_DENIED);
  EXPECT_EQ(readOnly.DeleteTree(u"Child"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(readOnly.CreateSubKey(u"Child", KEY_READ, sub), ERROR_SUCCESS);  // an existing key just opens

  RegistryKey writeOnly;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Rights\\Child", KEY_SET_VALUE, writeOnly), ERROR_SUCCESS);
  uint32_t value = 0;
  EXPECT_EQ(writeOnly.GetDword(u"v", value), ERROR_ACCESS_DENIED);
  std::u16string name;
  EXPECT_EQ(writeOnly.EnumKey(0, name), ERROR_ACCESS_DENIED);
  EXPECT_EQ(writeOnly.SetDword(u"v", 2), ERROR_SUCCESS);
}

TEST_F(RegistryKeyTest, ErrorCodesMatchWindows) {
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Nowhere", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Software\\\\Double", KEY_ALL_ACCESS, key), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Software\\" + std::u16string(256, u'k'), KEY_ALL_ACCESS, key),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.SetDword(u"v", 1), ERROR_INVALID_HANDLE);

  RegistryKey parent = Create(u"Software\\Tree");
  Create(u"Software\\Tree\\A\\B").SetString(u"s", u"x");
  EXPECT_EQ(parent.DeleteSubKey(u"A"), ERROR_ACCESS_DENIED);  // it still has a sub-key
  EXPECT_EQ(parent.DeleteSubKey(u"A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(parent.DeleteSubKey(u"A\\B"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(parent.DeleteValue(u"never"), ERROR_FILE_NOT_FOUND);

  RegistryKey a;
  ASSERT_EQ(parent.OpenSubKey(u"A", KEY_ALL_ACCESS, a), ERROR_SUCCESS);
  ASSERT_EQ(parent.DeleteTree(u"A"), ERROR_SUCCESS);
  EXPECT_EQ(a.SetDword(u"v", 1), ERROR_KEY_DELETED);  // a handle outliving its key
  uint32_t value = 0;
  EXPECT_EQ(a.GetDword(u"v", value), ERROR_KEY_DELETED);
  EXPECT_EQ(parent.DeleteTree(u"A"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeyTest, EnumerationFollowsWindowsOrder) {
  RegistryKey key = Create(u"Software\\Order");
  RegistryKey child;
  for (std::u16string_view name : {u"b", u"_under", u"A", u"C", u"a1"}) key.CreateSubKey(name, KEY_READ, child);
  std::vector<std::u16string> keys;
  std::u16string name;
  for (uint32_t i = 0; key.EnumKey(i, name) == ERROR_SUCCESS; ++i) keys.push_back(name);
  // Sorted by the upper-case names: '_' comes after the letters.
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"A", u"a1", u"b", u"C", u"_under"}));

  // Values come in the order they were first written.
  for (std::u16string_view value : {u"zeta", u"Alpha", u"mid"}) key.SetDword(value, 0);
  key.SetDword(u"ZETA", 1);
  std::vector<std::u16string> values;
  for (uint32_t i = 0; key.EnumValue(i, name, nullptr, nullptr) == ERROR_SUCCESS; ++i) values.push_back(name);
  EXPECT_EQ(values, (std::vector<std::u16string>{u"zeta", u"Alpha", u"mid"}));

  uint32_t subKeys = 0, valueCount = 0;
  EXPECT_EQ(key.QueryInfo(&subKeys, &valueCount), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 5u);
  EXPECT_EQ(valueCount, 3u);
}

TEST_F(RegistryKeyTest, DeleteTreeWithoutPathEmptiesTheKey) {
  RegistryKey key = Create(u"Software\\Empty");
  key.SetDword(u"v", 1);
  RegistryKey child;
  key.CreateSubKey(u"Sub\\Deeper", KEY_ALL_ACCESS, child);
  Create(u"Software\\EmptySibling").SetDword(u"kept", 1);  // a name sharing the prefix stays

  ASSERT_EQ(key.DeleteTree(u""), ERROR_SUCCESS);
  uint32_t subKeys = 9, values = 9;
  ASSERT_EQ(key.QueryInfo(&subKeys, &values), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
  RegistryKey sibling;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\EmptySibling", KEY_READ, sibling), ERROR_SUCCESS);
  uint32_t kept = 0;
  EXPECT_EQ(sibling.GetDword(u"kept", kept), ERROR_SUCCESS);
}

TEST(RegistryTextTest, MultiStringsDecodeWithOrWithoutTheirFinalNull) {
  std::vector<uint8_t> full = EncodeRegMultiString({u"a", u"bc"});
  EXPECT_EQ(full.size(), 12u);  // a\0bc\0\0
  EXPECT_EQ(DecodeRegMultiString(full.data(), full.size()), (std::vector<std::u16string>{u"a", u"bc"}));
  EXPECT_EQ(DecodeRegMultiString(full.data(), 8), (std::vector<std::u16string>{u"a", u"bc"}));
  EXPECT_EQ(DecodeRegString(full.data(), full.size()), u"a");
  EXPECT_TRUE(DecodeRegMultiString(nullptr, 0).empty());
  EXPECT_EQ(EncodeRegMultiString({}), (std::vector<uint8_t>{0, 0}));
}

}  // namespace
}  // namespace Kestrilon::Platform
