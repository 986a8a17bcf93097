// .reg files: what the registry editor exports imports to the same meaning and exports back byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/registry/reg_file.h"
#include "platform/registry/registry.h"
#include "support/temp_dir.h"
#include "support/temp_machine.h"

namespace Kestrilon::Platform {
namespace {

std::vector<uint8_t> Fixture(const std::string& name) {
  const char* source = std::getenv("KESTRILON_SOURCE_DIR");
  std::string text = Testing::ReadFileText(std::filesystem::path(source ? source : ".") / "tests/platform/registry/fixtures" / name);
  return std::vector<uint8_t>(text.begin(), text.end());
}

RegFile Parse(std::string_view text) {
  RegFile file;
  std::string error;
  EXPECT_TRUE(ParseRegFile(reinterpret_cast<const uint8_t*>(text.data()), text.size(), file, &error)) << error;
  return file;
}

std::vector<uint8_t> Query(RegistryRoot root, std::u16string_view path, std::u16string_view name, uint32_t* type) {
  RegistryKey key;
  std::vector<uint8_t> data;
  EXPECT_EQ(RegistryKey::Open(root, path, KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryValue(name, type, data), ERROR_SUCCESS) << std::string(name.begin(), name.end());
  return data;
}

TEST(RegFileTest, WindowsExportImportsAndExportsBackUnchanged) {
  Testing::TempMachine machine("win10-x64");
  std::vector<uint8_t> original = Fixture("exported_from_windows.reg");
  RegFile file;
  ASSERT_TRUE(ParseRegFile(original.data(), original.size(), file));
  EXPECT_TRUE(file.problems.empty());
  ASSERT_EQ(ImportRegFile(file, KEY_WOW64_64KEY), ERROR_SUCCESS);

  uint32_t type = 0;
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Bank", u"", &type), EncodeRegString(u"Online \"Banking\" C:\\Bank\\"));
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Bank", u"Path", &type), EncodeRegString(u"%ProgramFiles%\\Bank"));
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Bank", u"Sites", &type), EncodeRegMultiString({u"a.cn", u"b.cn"}));
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Bank", u"Size", &type), (std::vector<uint8_t>{0, 0x10, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_TRUE(Query(HKEY_CURRENT_USER, u"Software\\Bank", u"Marker", &type).empty());
  EXPECT_EQ(type, REG_NONE);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Bank", u"Blob", &type).size(), 0x30u);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Bank\\Sub", u"\u540d\u79f0", &type), EncodeRegString(u"\u4e2d\u6587"));

  RegFile exported;
  ASSERT_EQ(ExportRegFile(HKEY_CURRENT_USER, u"Software\\Bank", KEY_WOW64_64KEY, RegFileFormat::Version5, exported),
            ERROR_SUCCESS);
  EXPECT_EQ(EncodeRegFile(exported), original);
}

TEST(RegFileTest, Regedit4KeepsEightBitTextAndExportsBackUnchanged) {
  Testing::TempMachine machine("win7-x86");
  std::vector<uint8_t> original = Fixture("regedit4.reg");
  RegFile file;
  ASSERT_TRUE(ParseRegFile(original.data(), original.size(), file));
  EXPECT_EQ(file.format, RegFileFormat::Regedit4);
  ASSERT_EQ(ImportRegFile(file, 0), ERROR_SUCCESS);

  uint32_t type = 0;
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"Name", &type), EncodeRegString(u"\u4e2d\u56fd\u94f6\u884c"));
  // In REGEDIT4 the hex text kinds are 8-bit; the registry keeps them as UTF-16.
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"Expand", &type), EncodeRegString(u"%SystemRoot%\\bank.exe"));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"Multi", &type), EncodeRegMultiString({u"a", u"b"}));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", u"Count", &type), (std::vector<uint8_t>{42, 0, 0, 0}));

  RegFile exported;
  ASSERT_EQ(ExportRegFile(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bank", 0, RegFileFormat::Regedit4, exported), ERROR_SUCCESS);
  EXPECT_EQ(EncodeRegFile(exported), original);
}

TEST(RegFileTest, DeletionsCommentsAndUtf8) {
  Testing::TempMachine machine("win7-x86");
  ASSERT_EQ(ImportRegFile(Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
                                "[HKEY_CURRENT_USER\\Software\\Bank\\Gone\\Deep]\n"
                                "\"x\"=dword:1\n"
                                "[HKEY_CURRENT_USER\\Software\\Bank]\n"
                                "\"Keep\"=\"yes\"\n"
                                "\"Drop\"=\"no\"\n"),
                          0),
            ERROR_SUCCESS);
  RegFile changes = Parse("Windows Registry Editor Version 5.00\r\n"
                          "; a comment, then blank lines\r\n"
                          "\r\n"
                          "  \r\n"
                          "[-HKEY_CURRENT_USER\\Software\\Bank\\Gone]\r\n"
                          "[-HKEY_CURRENT_USER\\Software\\Bank\\NeverWas]\r\n"
                          "[HKEY_CURRENT_USER\\Software\\Bank]\r\n"
                          "\"Drop\"=-\r\n"
                          "\"NeverWas\"=-\r\n"
                          "  \"Spaced\" = \"value\"  \r\n");
  EXPECT_TRUE(changes.problems.empty());
  ASSERT_EQ(ImportRegFile(changes, 0), ERROR_SUCCESS);

  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Bank", KEY_READ, key), ERROR_SUCCESS);
  std::u16string text;
  EXPECT_EQ(key.GetString(u"Keep", text), ERROR_SUCCESS);
  EXPECT_EQ(key.GetString(u"Drop", text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.GetString(u"Spaced", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"value");
  RegistryKey gone;
  EXPECT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Bank\\Gone", KEY_READ, gone), ERROR_FILE_NOT_FOUND);
}

TEST(RegFileTest, UnreadableLinesAreReportedAndSkipped) {
  const char* kBadLines[] = {
      "\"a\"=dword:123456789",   // more than 8 digits
      "\"a\"=dword:xyz",
      "\"a\"=hex:0g",
      "\"a\"=hex(zz):00",
      "\"a\"=\"unterminated",
      "\"a\"=unknown",
      "\"a\"",
      "[HKEY_NOWHERE\\Key]",
      "[HKEY_CURRENT_USER\\Key",
      "plain words",
  };
  for (const char* bad : kBadLines) {
    SCOPED_TRACE(bad);
    RegFile file = Parse(std::string("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\T]\n") + bad + "\n\"good\"=\"1\"\n");
    ASSERT_FALSE(file.keys.empty());
    // A bad key line drops (and reports) the values after it, any other bad line only itself.
    bool badKey = bad[0] == '[';
    EXPECT_EQ(file.problems.size(), badKey ? 2u : 1u);
    EXPECT_EQ(file.keys[0].values.size(), badKey ? 0u : 1u);
  }
  RegFile file;
  std::string error;
  const std::string notReg = "[HKEY_CURRENT_USER\\Software]\n";
  EXPECT_FALSE(ParseRegFile(reinterpret_cast<const uint8_t*>(notReg.data()), notReg.size(), file, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(ParseRegFile(nullptr, 0, file, &error));
}

TEST(RegFileTest, TextThatIsNotPlainIsWrittenAsHex) {
  RegFile file;
  RegFileValue embeddedNull{u"odd", false, REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}};
  RegFileValue shortDword{u"short", false, REG_DWORD, {1, 2}};
  file.keys.push_back({u"HKEY_CURRENT_USER\\Software\\T", false, {embeddedNull, shortDword}});
  std::u16string text = FormatRegFile(file);
  EXPECT_NE(text.find(u"\"odd\"=hex(1):61,00,00,00,62,00,00,00\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"\"short\"=hex(4):01,02\r\n"), std::u16string::npos);
  std::vector<uint8_t> bytes = EncodeRegFile(file);
  RegFile back;
  ASSERT_TRUE(ParseRegFile(bytes.data(), bytes.size(), back));
  ASSERT_EQ(back.keys.size(), 1u);
  EXPECT_EQ(back.keys[0].values[0].data, embeddedNull.data);
  EXPECT_EQ(back.keys[0].values[1].type, REG_DWORD);
}

}  // namespace
}  // namespace Kestrilon::Platform
