// The key commands end to end below the window: a fixture USB tree, a SoftHSM token behind a registered
// provider, and a recording stand-in for the page.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "ui/host/host.h"
#include "usbkey/key_token_fixture.h"
#include "usbkey/recording_dialog.h"
#include "usbkey/usb_fixture.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

using Testing::CertificateSpec;
using Testing::MakeCertificate;
using Testing::RecordingDialog;
using Testing::SoftHsmTokens;
using UI::ScriptValue;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::u16string kProvider = u"EnterSafe Interpass3000 CSP for Quorvane V1.0";

class RecordingPresenter : public UI::IMessagePresenter {
 public:
  int32_t Show(const UI::MessageRequest& request) override {
    shown.push_back(request);
    return UI::IDOK;
  }
  int32_t Ask(const UI::QuestionRequest&) override { return UI::IDNO; }
  std::vector<UI::MessageRequest> shown;
};

class KeyCommandsTest : public ::testing::Test {
 public:  // the cases' preparations reach into the fixture
  void SetUp() override {
    if (!SoftHsmTokens::Available()) GTEST_SKIP() << "SoftHSM2 and pkcs11-tool are not installed";
    setenv("TZ", "CST-8", 1);
    setenv("KESTRILON_SYSFS_ROOT", sysfs_.Path().c_str(), 1);
    std::string error;
    ASSERT_TRUE(Platform::MachineImage::Create(image_.Path(), "win10-x64", true, &error)) << error;
    Platform::MachineImage::UseDirectory(image_.Path());
    Register(kProvider);
    tokens_.InitToken("key0");
    page_.cspNames[0] = ScriptValue::String(kProvider);
    const auto root = tree_.AddRootHub(1, "pci0000:00/0000:00:14.0");
    tree_.AddDevice(tree_.AddDevice(root, 1, 0x05E3, 0x0610, 0x09), 2, 0x096E, 0x0713);
    tree_.AddDevice(root, 2, 0x096E, 0x0714);
  }
  void TearDown() override {
    unsetenv("TZ");
    unsetenv("KESTRILON_SYSFS_ROOT");
  }
  static void Register(const std::u16string& name) {
    Platform::RegistryKey key;
    ASSERT_EQ(Platform::RegistryKey::Create(Platform::HKEY_LOCAL_MACHINE,
                                            u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + name,
                                            Platform::KEY_ALL_ACCESS, key),
              Platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"Image Path", Platform::ToUtf16(SoftHsmTokens::ModulePath())), Platform::ERROR_SUCCESS);
  }
  void StoreCertificate(const CertificateSpec& wanted) { tokens_.AddCertificate("key0", MakeCertificate(wanted), "01"); }
  static CertificateSpec Exchange() {
    CertificateSpec wanted;
    wanted.keyUsage = "keyEncipherment";
    return wanted;
  }

  Testing::TempDir image_{"kestrilon-image"};
  Testing::TempDir sysfs_{"kestrilon-sysfs"};
  Testing::UsbFixtureTree tree_{sysfs_.Path()};
  SoftHsmTokens tokens_;
  RecordingDialog page_;
};

const std::vector<std::string> kShownCertificate = {
    R"(setKeyInfo(0,"sn","010203"))",
    R"(setKeyInfo(0,"issuer","CN=Test Root, O=Test CA, C=CN"))",
    R"(setKeyInfo(0,"subject","CN=Holder, O=Bank, C=CN"))",
    R"(setKeyInfo(0,"date","2017年03月02日到2019年03月02日"))",
    "is_can_Open_update()",
};
const std::vector<std::string> kClearedCertificate = {
    R"(setKeyInfo(0,"sn",""))", R"(setKeyInfo(0,"issuer",""))", R"(setKeyInfo(0,"subject",""))",
    R"(setKeyInfo(0,"date",""))"};

std::vector<std::string> Concat(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST_F(KeyCommandsTest, PresentKeyIsSelectedAndItsCertificateShown) {
  StoreCertificate(Exchange());
  EXPECT_EQ(IsKeyConnectCommand(ScriptValue::String(u"0x096E0713"), ScriptValue::I4(0)), ScriptValue::Bool(true));
  EXPECT_THAT(page_.calls, ElementsAreArray(Concat({R"(setKeyInfo(0,"selected",true))", R"(getKeyInfo(0,"cspname"))"},
                                                   kShownCertificate)));
}

TEST_F(KeyCommandsTest, AbsentKeyIsDeselectedAndNothingElseIsAsked) {
  StoreCertificate(Exchange());
  EXPECT_EQ(IsKeyConnectCommand(ScriptValue::String(u"0xD4490004"), ScriptValue::I4(1)), ScriptValue::Bool(false));
  EXPECT_THAT(page_.calls, ElementsAre(R"(setKeyInfo(1,"selected",false))"));
}

TEST_F(KeyCommandsTest, KeyIdThatIsNoStringDoesNothing) {
  for (const auto& id : {ScriptValue::I4(0x096E0713), ScriptValue(), ScriptValue::Bool(true)}) {
    EXPECT_EQ(IsKeyConnectCommand(id, ScriptValue::I4(0)), ScriptValue());
  }
  EXPECT_TRUE(page_.calls.empty());
}

TEST_F(KeyCommandsTest, CertificateFieldsAreClearedWhenNoFourFieldsCome) {
  const struct {
    const char* what;
    std::function<void(KeyCommandsTest&)> prepare;
  } cases[] = {
      {"no certificate on the key", [](KeyCommandsTest&) {}},
      {"the page does not know the provider", [](KeyCommandsTest& t) {
         t.StoreCertificate(Exchange());
         t.page_.cspNames.erase(0);
       }},
      {"the page answers no string", [](KeyCommandsTest& t) {
         t.StoreCertificate(Exchange());
         t.page_.cspNames[0] = ScriptValue::I4(7);
       }},
      {"a semicolon inside a name makes a fifth field", [](KeyCommandsTest& t) {
         CertificateSpec wanted = Exchange();
         wanted.subject = {{"O", "Bank;Branch"}, {"CN", "Holder"}};
         t.StoreCertificate(wanted);
       }},
  };
  for (const auto& c : cases) {
    tokens_.DeleteToken("key0");  // a fresh key for each case
    tokens_.InitToken("key0");
    c.prepare(*this);
    page_.calls.clear();
    EXPECT_EQ(IsKeyConnectCommand(ScriptValue::String(u"0x096E0713"), ScriptValue::I4(0)), ScriptValue::Bool(true));
    EXPECT_THAT(page_.calls, ElementsAreArray(Concat({R"(setKeyInfo(0,"selected",true))", R"(getKeyInfo(0,"cspname"))"},
                                                     kClearedCertificate)))
        << c.what;
    page_.cspNames[0] = ScriptValue::String(kProvider);
  }
}

TEST_F(KeyCommandsTest, UpdateKeyInfoReadsTheProviderTheKeyListNames) {
  StoreCertificate(Exchange());
  EXPECT_EQ(UpdateKeyInfoCommand(ScriptValue::I4(5), ScriptValue::I4(0)), ScriptValue::I4(5));
  EXPECT_THAT(page_.calls, ElementsAreArray(Concat({R"(getKeyInfo(0,"cspname"))"}, kShownCertificate)));
}

TEST_F(KeyCommandsTest, UpdateKeyInfoWithoutAnIntegerShowsTheError) {
  RecordingPresenter presenter;
  UI::SetMessagePresenter(&presenter);
  EXPECT_EQ(UpdateKeyInfoCommand(ScriptValue::String(u"5"), ScriptValue::I4(0)), ScriptValue());
  UI::SetMessagePresenter(nullptr);
  ASSERT_EQ(presenter.shown.size(), 1u);
  EXPECT_EQ(presenter.shown[0].content, u"update_key_info第2个参数应该为int类型！");
  EXPECT_EQ(presenter.shown[0].mainInstruction, u"错误");
  EXPECT_EQ(presenter.shown[0].caption, UI::LoadStringResource(102));
  EXPECT_EQ(presenter.shown[0].iconKind, UI::kIconError);
  EXPECT_TRUE(page_.calls.empty());
}

TEST_F(KeyCommandsTest, ProviderNameOfTheKeyListFitsItsBuffer) {
  const std::u16string longName(255, u'k');
  page_.cspNames[0] = ScriptValue::String(longName);
  std::u16string buffer = u"left as it was";
  GetKeyCspName(0, buffer);
  EXPECT_EQ(buffer, longName);
  page_.cspNames[0] = ScriptValue::String(longName + u"k");  // one unit more than the buffer holds
  GetKeyCspName(0, buffer);
  EXPECT_EQ(buffer, longName);
}

}  // namespace
}  // namespace Kestrilon::UsbKey
