// is_key_connect through kestrilon-shell: a fixture USB tree, a SoftHSM token registered as the key's
// provider in a machine image, and the page's key list given with --keys.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "support/temp_dir.h"
#include "usbkey/key_token_fixture.h"
#include "usbkey/usb_fixture.h"

namespace Kestrilon::UsbKey {
namespace {

using Testing::ReadFileText;
using Testing::SoftHsmTokens;
using Testing::TempDir;
using Testing::WriteFileText;
using ::testing::ElementsAre;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class KeyShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SoftHsmTokens::Available()) GTEST_SKIP() << "SoftHSM2 and pkcs11-tool are not installed";
    const char* binaries = std::getenv("KESTRILON_BINARY_DIR");
    ASSERT_TRUE(binaries);
    shell_ = std::filesystem::path(binaries) / "bin" / "kestrilon-shell";
    ASSERT_TRUE(std::filesystem::exists(shell_)) << shell_;

    std::string error;
    ASSERT_TRUE(Platform::MachineImage::Create(dir_ / "image", "win10-x64", true, &error)) << error;
    Platform::MachineImage::UseDirectory(dir_ / "image");
    Platform::RegistryKey key;
    ASSERT_EQ(Platform::RegistryKey::Create(Platform::HKEY_LOCAL_MACHINE,
                                            u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\EnterSafe "
                                            u"Interpass3000 CSP for Quorvane V1.0",
                                            Platform::KEY_ALL_ACCESS, key),
              Platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"Image Path", Platform::ToUtf16(SoftHsmTokens::ModulePath())), Platform::ERROR_SUCCESS);

    tokens_.InitToken("key0");
    Testing::CertificateSpec wanted;
    wanted.subject = {{"C", "CN"}, {"O", "中国某银行"}, {"CN", "张三"}};
    wanted.keyUsage = "keyEncipherment";
    tokens_.AddCertificate("key0", Testing::MakeCertificate(wanted), "01");

    Testing::UsbFixtureTree tree(dir_ / "sys");
    const auto root = tree.AddRootHub(1, "pci0000:00/0000:00:14.0");
    tree.AddDevice(tree.AddDevice(root, 3, 0x05E3, 0x0610, 0x09), 1, 0x096E, 0x0713);

    WriteFileText(dir_ / "keys.json",
                  R"([{"type":"1","keyid":"0x096E0713","cspname":"EnterSafe Interpass3000 CSP for Quorvane V1.0","selected":false},)"
                  R"({"type":"2","keyid":"0xD4490004","cspname":"Haitai HaiKey 3000 CSP For Quorvane","selected":false}])");
  }

  std::vector<std::string> RunShell(const std::string& input) {
    WriteFileText(dir_ / "input", input);
    const std::string command = "TZ=CST-8 KESTRILON_SYSFS_ROOT='" + (dir_ / "sys").string() + "' '" + shell_.string() +
                                "' --machine '" + (dir_ / "image").string() + "' --keys '" + (dir_ / "keys.json").string() +
                                "' < '" + (dir_ / "input").string() + "' > '" + (dir_ / "output").string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return Lines(ReadFileText(dir_ / "output"));
  }

  TempDir dir_{"kestrilon-keyshell"};
  SoftHsmTokens tokens_;
  std::filesystem::path shell_;
};

TEST_F(KeyShellTest, PresentKeyShowsItsCertificateAndAbsentKeyIsDeselected) {
  EXPECT_THAT(
      RunShell("[\"is_key_connect\",\"0x096E0713\",0]\n[\"is_key_connect\",\"0xD4490004\",1]\n"),
      ElementsAre(R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"selected",true]})",
                  R"({"page":"getKeyInfo","args":[{"kind":"VT_UI4","value":0},"cspname"]})",
                  R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"sn","010203"]})",
                  R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"issuer","CN=Test Root, O=Test CA, C=CN"]})",
                  R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"subject","CN=张三, O=中国某银行, C=CN"]})",
                  R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"date","2017年03月02日到2019年03月02日"]})",
                  R"({"page":"is_can_Open_update","args":[]})",
                  R"({"result":true,"kind":"VT_BOOL"})",
                  R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":1},"selected",false]})",
                  R"({"result":false,"kind":"VT_BOOL"})"));
}

TEST_F(KeyShellTest, SummaryAndRereadByCommand) {
  EXPECT_THAT(RunShell("[\"Get_SM_info\",\"EnterSafe Interpass3000 CSP for Quorvane V1.0\"]\n"
                       "[\"update_key_info\",7,0]\n"),
              ElementsAre(R"({"result":"010203;CN=Test Root, O=Test CA, C=CN;CN=张三, O=中国某银行, C=CN;2017年03月02日到2019年03月02日","kind":"VT_BSTR"})",
                          R"({"page":"getKeyInfo","args":[{"kind":"VT_UI4","value":0},"cspname"]})",
                          R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"sn","010203"]})",
                          R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"issuer","CN=Test Root, O=Test CA, C=CN"]})",
                          R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"subject","CN=张三, O=中国某银行, C=CN"]})",
                          R"({"page":"setKeyInfo","args":[{"kind":"VT_UI4","value":0},"date","2017年03月02日到2019年03月02日"]})",
                          R"({"page":"is_can_Open_update","args":[]})",
                          R"({"result":7,"kind":"VT_I4"})"));
}

TEST_F(KeyShellTest, MachineToolListsTheDevicesKeyDetectionSees) {
  Testing::UsbFixtureTree tree(dir_ / "sys");
  tree.AddDevice(dir_ / "sys/devices/pci0000:00/0000:00:14.0/usb1", 4, 0xD449, 0x0004);
  const std::string command = "KESTRILON_SYSFS_ROOT='" + (dir_ / "sys").string() + "' '" +
                              (shell_.parent_path() / "kestrilon-machine").string() + "' --machine '" +
                              (dir_ / "image").string() + "' usb > '" + (dir_ / "output").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_THAT(Lines(ReadFileText(dir_ / "output")), ElementsAre("0x096E0713  1-3.1", "0xD4490004  1-4"));
}

}  // namespace
}  // namespace Kestrilon::UsbKey
