// Reading the configuration document into the in-memory Configuration.
#include <gtest/gtest.h>

#include "config/config.h"

namespace Kestrilon::Config {
namespace {

std::vector<std::string> Texts(const std::vector<ConfigEntry>& entries) {
  std::vector<std::string> texts;
  for (const ConfigEntry& entry : entries) texts.push_back(entry.text);
  return texts;
}

TEST(ConfigurationDocument, ReadsEveryPartOfTheDocument) {
  Configuration config;
  ASSERT_TRUE(config.ParseDocument(R"(<?xml version="1.0" encoding="utf-8"?>
<!-- the bank's document -->
<checkitems Version="3" base="https://cdn.example/files/" empty="">
  <config type="registry">
    <entry key="HKCU\A" Value="1">first</entry>
    <entry key="HKCU\B"/>
  </config>
  <item name="early"/>
  <data name="help">https://bank.example/help?a=1&amp;b=2</data>
  <config type="hosts"><entry host="bank.example">1.2.3.4</entry></config>
  <data name="faq">old</data>
  <config type="registry"><entry key="HKCU\C">third</entry></config>
  <data name="faq">网银帮助</data>
  <item name="网银控件" type="1" keyid="0x096E0713" flag="2">
    <installer url="setup.exe" dtype="0">i1</installer>
    <uninstaller url="un.exe"/>
    <detect dtype="1" path="a">d1</detect>
    <installer url="setup2.exe">i2</installer>
    <detect dtype="2">d2</detect>
  </item>
  <item name="second"><detect/></item>
  <appinfo version="2.0" imperative="1"><detect>ad</detect><uninstaller/></appinfo>
  <appinfo url="update.exe"><installer>ai</installer></appinfo>
  <config><entry>typeless</entry></config>
</checkitems>)"));

  EXPECT_EQ(config.GetDocumentAttribute("version"), "3");
  EXPECT_EQ(config.GetDocumentAttribute("base"), "https://cdn.example/files/");
  EXPECT_FALSE(config.GetUpdateRecord().attributes.Contains("empty"));

  ASSERT_EQ(config.Groups().size(), 3u);
  EXPECT_EQ(config.Groups()[0].type, "registry");
  EXPECT_EQ(config.Groups()[1].type, "hosts");
  EXPECT_EQ(config.Groups()[2].type, "");  // config without type
  const ConfigGroup* registry = config.FindGroup("registry");
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(Texts(registry->entries), (std::vector<std::string>{"first", "", "third"}));
  EXPECT_EQ(registry->entries[0].Attribute("value"), "1");
  EXPECT_EQ(registry->entries[0].result, 0);
  EXPECT_EQ(config.FindGroup("Registry"), nullptr);

  EXPECT_EQ(config.GetDataValue("help"), "https://bank.example/help?a=1&b=2");
  EXPECT_EQ(config.GetDataValue("faq"), "网银帮助");  // the later one replaces the earlier
  EXPECT_EQ(config.GetDataValue("nosuch"), "");

  ASSERT_EQ(config.ItemCount(), 2u);  // "early" comes before the last data element
  const ConfigItem* item = config.GetItem(0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->Attribute("name"), "网银控件");
  EXPECT_EQ(item->Attribute("keyid"), "0x096E0713");
  EXPECT_EQ(Texts(item->detect), (std::vector<std::string>{"d1", "d2"}));
  EXPECT_EQ(Texts(item->installer), (std::vector<std::string>{"i1", "i2"}));
  EXPECT_EQ(item->uninstaller.size(), 1u);
  EXPECT_EQ(item->detect[0].Attribute("path"), "a");
  EXPECT_EQ(config.GetItem(1)->Attribute("name"), "second");
  EXPECT_EQ(config.GetItem(2), nullptr);

  const ConfigItem& update = config.GetUpdateRecord();
  EXPECT_EQ(update.Attribute("version"), "2.0");
  EXPECT_EQ(update.Attribute("url"), "update.exe");
  EXPECT_EQ(Texts(update.detect), (std::vector<std::string>{"ad"}));
  EXPECT_EQ(Texts(update.installer), (std::vector<std::string>{"ai"}));
  EXPECT_TRUE(update.uninstaller.empty());
}

TEST(ConfigurationDocument, AttributeNamesFoldAndEmptyValuesAreDropped) {
  Configuration config;
  ASSERT_TRUE(config.ParseDocument(
      "<checkitems><config type='t'>"
      "<entry Path=\"a\" path=\"b\"/><entry path=\"\"/><entry PATH='x' Path=''/>"
      "</config></checkitems>"));
  const ConfigGroup* group = config.FindGroup("t");
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group->entries.size(), 3u);
  EXPECT_EQ(group->entries[0].attributes.Size(), 1u);
  EXPECT_EQ(group->entries[0].Attribute("path"), "b");
  EXPECT_EQ(group->entries[1].attributes.Size(), 0u);
  EXPECT_EQ(group->entries[2].Attribute("path"), "x");  // an empty later value is not stored
}

TEST(ConfigurationDocument, RefusesDocumentsThatAreNotTheConfiguration) {
  const char* documents[] = {
      "",
      "<checkitems><config type='a'></checkitems>",  // unended config
      "<other><checkitems/></other>",
      "<checkitems/><checkitems/>",
      "not xml at all",
  };
  for (const char* text : documents) {
    Configuration config;
    EXPECT_FALSE(config.ParseDocument(text)) << text;
  }
}

TEST(ConfigurationDocument, ResolveUrlAppendsRelativeValuesToBase) {
  Configuration config;
  config.SetDocumentAttribute("base", "https://bank.example/dir/sub/");
  EXPECT_EQ(config.ResolveUrl("file.exe"), "https://bank.example/dir/sub/file.exe");
  EXPECT_EQ(config.ResolveUrl("http://other.example/x.exe"), "http://other.example/x.exe");
  EXPECT_EQ(config.ResolveUrl(""), "");
  EXPECT_TRUE(config.ParseDocument("<checkitems base='file:///C:/mirror/'/>"));
  EXPECT_EQ(config.ResolveUrl("a.exe"), "file:///C:/mirror/a.exe");  // the document's base replaces it
}

}  // namespace
}  // namespace Kestrilon::Config
