// Reading a key's certificate through its provider: SoftHSM tokens stand in for the USB keys.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "platform/fs/fs.h"
#include "platform/machine/machine_image.h"
#include "platform/pkcs11/pkcs11.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "usbkey/key_token_fixture.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

using Testing::CertificateSpec;
using Testing::MakeCertificate;
using Testing::SoftHsmTokens;

CertificateSpec Holder(const std::string& commonName, const std::string& keyUsage) {
  CertificateSpec wanted;
  wanted.subject = {{"C", "CN"}, {"O", "Bank"}, {"CN", commonName}};
  wanted.keyUsage = keyUsage;
  return wanted;
}
const CertificateSpec kSignature = Holder("signing", "critical,digitalSignature,nonRepudiation");
const CertificateSpec kExchange = Holder("exchange", "critical,keyEncipherment");
const CertificateSpec kAgreement = Holder("agreement", "critical,digitalSignature,keyAgreement");

std::u16string SummaryOf(const CertificateSpec& wanted) { return SummarizeCertificate(MakeCertificate(wanted)); }

class KeyCertificateReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SoftHsmTokens::Available()) GTEST_SKIP() << "SoftHSM2 and pkcs11-tool are not installed";
    setenv("TZ", "CST-8", 1);
    tokens_.InitToken("key0");
  }
  void TearDown() override { unsetenv("TZ"); }
  std::u16string Read() { return ReadKeyCertificateFromModule(SoftHsmTokens::ModulePath()); }

  SoftHsmTokens tokens_;
};

TEST_F(KeyCertificateReaderTest, OneContainerWithBothKeysGivesTheExchangeCertificate) {
  const struct {
    std::vector<CertificateSpec> stored;  // in storing order
    CertificateSpec expected;
  } cases[] = {
      {{kSignature, kExchange}, kExchange},
      {{kExchange, kSignature}, kExchange},
      {{kSignature, kAgreement}, kAgreement},
      {{kSignature}, kSignature},
      {{Holder("no usage", "")}, Holder("no usage", "")},  // a key of both uses is the exchange key
  };
  for (const auto& c : cases) {
    SoftHsmTokens tokens;
    tokens.InitToken("key");
    for (const auto& wanted : c.stored) tokens.AddCertificate("key", MakeCertificate(wanted), "01");
    EXPECT_EQ(Platform::ToUtf8(ReadKeyCertificateFromModule(SoftHsmTokens::ModulePath())),
              Platform::ToUtf8(SummaryOf(c.expected)));
  }
}

// The containers' order is the module's object order; the last container's certificate wins.
TEST_F(KeyCertificateReaderTest, SeveralContainersTheLastOneWins) {
  tokens_.AddCertificate("key0", MakeCertificate(kSignature), "01");
  tokens_.AddCertificate("key0", MakeCertificate(kExchange), "01");
  tokens_.AddCertificate("key0", MakeCertificate(kAgreement), "02");
  tokens_.AddCertificate("key0", MakeCertificate(Holder("second signing", "digitalSignature")), "03");

  // The order the module reports its objects in, read independently of the reader. SoftHSM orders a
  // token's objects anew each time it starts, so the module stays started while the reader runs.
  std::vector<std::vector<uint8_t>> order;
  auto module = Platform::Pkcs11Module::Load(SoftHsmTokens::ModulePath());
  ASSERT_TRUE(module);
  const auto slots = module->SlotsWithToken();
  ASSERT_EQ(slots.size(), 1u);  // the blank slot SoftHSM always offers is not a key
  {
    auto session = module->OpenSession(slots[0]);
    ASSERT_TRUE(session);
    for (auto object : session->FindAllObjects()) {
      auto id = session->Attribute(object, Platform::kPkcs11AttributeId);
      ASSERT_TRUE(id);
      if (std::find(order.begin(), order.end(), *id) == order.end()) order.push_back(*id);
    }
  }
  ASSERT_EQ(order.size(), 3u);
  const std::map<uint8_t, CertificateSpec> winnerOf = {
      {0x01, kExchange}, {0x02, kAgreement}, {0x03, Holder("second signing", "digitalSignature")}};
  EXPECT_EQ(Platform::ToUtf8(Read()), Platform::ToUtf8(SummaryOf(winnerOf.at(order.back()[0]))));
}

TEST_F(KeyCertificateReaderTest, TokensAreReadInSlotOrderAndTheLastOneWins) {
  tokens_.InitToken("key1");
  tokens_.AddCertificate("key0", MakeCertificate(kExchange), "01");
  tokens_.AddCertificate("key1", MakeCertificate(kAgreement), "01");
  std::u16string lastTokens;
  {
    auto module = Platform::Pkcs11Module::Load(SoftHsmTokens::ModulePath());
    ASSERT_TRUE(module);
    const auto slots = module->SlotsWithToken();
    ASSERT_EQ(slots.size(), 2u);
    auto session = module->OpenSession(slots.back());
    ASSERT_TRUE(session);
    const auto objects = session->FindAllObjects();
    ASSERT_EQ(objects.size(), 1u);
    lastTokens = SummarizeCertificate(session->Attribute(objects[0], Platform::kPkcs11AttributeValue).value());
  }
  ASSERT_FALSE(lastTokens.empty());
  EXPECT_EQ(Read(), lastTokens);
}

TEST_F(KeyCertificateReaderTest, NothingReadableGivesTheEmptySummary) {
  Testing::TempDir dir;
  Testing::WriteFileText(dir / "not-a-library.so", "text");
  EXPECT_EQ(Read(), u"") << "a token without certificates";
  EXPECT_EQ(ReadKeyCertificateFromModule((dir / "missing.so").string()), u"");
  EXPECT_EQ(ReadKeyCertificateFromModule((dir / "not-a-library.so").string()), u"");
  EXPECT_EQ(ReadKeyCertificateFromModule("libc.so.6"), u"") << "a library that is no PKCS#11 module";
  EXPECT_EQ(ReadKeyCertificateFromModule(""), u"");
}

TEST(KeyCertificateReaderWithoutTokens, BlankModuleGivesTheEmptySummary) {
  if (!SoftHsmTokens::Available()) GTEST_SKIP() << "SoftHSM2 is not installed";
  SoftHsmTokens tokens;  // only SoftHSM's blank slot: no key plugged in
  EXPECT_EQ(ReadKeyCertificateFromModule(SoftHsmTokens::ModulePath()), u"");
}

// Provider names map to modules through the machine image's registry.
class KeyProviderTest : public KeyCertificateReaderTest {
 protected:
  void SetUp() override {
    KeyCertificateReaderTest::SetUp();
    if (IsSkipped()) return;
    std::string error;
    ASSERT_TRUE(Platform::MachineImage::Create(image_.Path(), "win10-x64", true, &error)) << error;
    Platform::MachineImage::UseDirectory(image_.Path());
    tokens_.AddCertificate("key0", MakeCertificate(kExchange), "01");
  }
  static void Register(std::u16string_view name, std::u16string_view imagePath, uint32_t view = 0) {
    Platform::RegistryKey key;
    ASSERT_EQ(Platform::RegistryKey::Create(Platform::HKEY_LOCAL_MACHINE,
                                            u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" +
                                                std::u16string(name),
                                            Platform::KEY_ALL_ACCESS | view, key),
              Platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"Image Path", imagePath), Platform::ERROR_SUCCESS);
  }
  Testing::TempDir image_{"kestrilon-image"};
};

TEST_F(KeyProviderTest, RegisteredProviderIsReadThroughItsModule) {
  const std::u16string module = Platform::ToUtf16(SoftHsmTokens::ModulePath());
  Register(u"EnterSafe Interpass3000 CSP for Quorvane V1.0", module);
  EXPECT_EQ(ReadKeyCertificate(u"EnterSafe Interpass3000 CSP for Quorvane V1.0"), SummaryOf(kExchange));
  EXPECT_EQ(ReadKeyCertificate(u"entersafe interpass3000 csp for quorvane v1.0"), SummaryOf(kExchange));
  EXPECT_EQ(GetSmInfoCommand(UI::ScriptValue::String(u"EnterSafe Interpass3000 CSP for Quorvane V1.0")),
            UI::ScriptValue::String(SummaryOf(kExchange)));
}

TEST_F(KeyProviderTest, UnknownEmptyOrBrokenProviderGivesTheEmptySummary) {
  Register(u"Broken CSP", u"C:\\Windows\\System32\\missing.dll");
  Register(u"64-bit CSP", Platform::ToUtf16(SoftHsmTokens::ModulePath()), Platform::KEY_WOW64_64KEY);
  EXPECT_EQ(ReadKeyCertificate(u"Haitai HaiKey 3000 CSP For Quorvane"), u"");
  EXPECT_EQ(ReadKeyCertificate(u""), u"");
  EXPECT_EQ(ReadKeyCertificate(u"Broken CSP"), u"");
  // A 32-bit program on 64-bit Windows does not see the providers of the 64-bit view.
  EXPECT_EQ(ReadKeyCertificate(u"64-bit CSP"), u"");
  EXPECT_EQ(ReadKeyCertificate(u"Defaults\\Provider"), u"");
  EXPECT_EQ(GetSmInfoCommand(UI::ScriptValue::I4(1)), UI::ScriptValue());
}

TEST_F(KeyProviderTest, BareModuleNameIsFoundInTheSystemFolder) {
  // The 32-bit system folder of the image, where a 32-bit key driver installs its provider.
  const auto systemFolder = Platform::ToHostPath(u"C:\\Windows\\System32");
  std::filesystem::create_directories(systemFolder);
  std::filesystem::create_symlink(SoftHsmTokens::ModulePath(), systemFolder / "keyprov.dll");
  Register(u"Key CSP", u"keyprov.dll");
  EXPECT_EQ(ReadKeyCertificate(u"Key CSP"), SummaryOf(kExchange));
}

}  // namespace
}  // namespace Kestrilon::UsbKey
