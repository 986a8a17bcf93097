// Certificate stores in the machine image's registry, in the layout Windows uses.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "platform/certstore/certstore.h"
#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace Kestrilon::Platform {
namespace {

void AppendProperty(std::vector<uint8_t>& blob, uint32_t id, const std::vector<uint8_t>& data) {
  for (uint32_t word : {id, 1u, static_cast<uint32_t>(data.size())})
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(word >> (8 * i)));
  blob.insert(blob.end(), data.begin(), data.end());
}

TEST(CertificateBlob, FindsTheCertificateAmongOtherProperties) {
  DerCertificate der = {0x30, 0x03, 0x02, 0x01, 0x05};
  DerCertificate decoded;
  std::vector<uint8_t> blob = EncodeCertificateBlob(der);
  ASSERT_TRUE(DecodeCertificateBlob(blob.data(), blob.size(), decoded));
  EXPECT_EQ(decoded, der);

  // As Windows writes them: hash and key-identifier properties come first.
  std::vector<uint8_t> windows;
  AppendProperty(windows, 3, std::vector<uint8_t>(20, 0xAB));
  AppendProperty(windows, 20, std::vector<uint8_t>(20, 0xCD));
  AppendProperty(windows, 32, der);
  decoded.clear();
  ASSERT_TRUE(DecodeCertificateBlob(windows.data(), windows.size(), decoded));
  EXPECT_EQ(decoded, der);

  std::vector<uint8_t> truncated(windows.begin(), windows.end() - 1);
  EXPECT_FALSE(DecodeCertificateBlob(truncated.data(), truncated.size(), decoded));
  std::vector<uint8_t> noCertificate;
  AppendProperty(noCertificate, 3, std::vector<uint8_t>(20, 0));
  EXPECT_FALSE(DecodeCertificateBlob(noCertificate.data(), noCertificate.size(), decoded));
  std::vector<uint8_t> hugeLength;
  AppendProperty(hugeLength, 32, {});
  hugeLength[8] = hugeLength[9] = hugeLength[10] = hugeLength[11] = 0xFF;
  EXPECT_FALSE(DecodeCertificateBlob(hugeLength.data(), hugeLength.size(), decoded));
}

class CertStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(MachineImage::Create(image_.Path(), "win10-x64", true, &error)) << error;
    MachineImage::UseDirectory(image_.Path());
  }
  Testing::TempDir image_{"kestrilon-certstore"};
  Testing::TestCertificateAuthority first_{"First Test Root"};
  Testing::TestCertificateAuthority second_{"Second Test Root"};
};

TEST_F(CertStoreTest, AddsUnderTheThumbprintAndEnumeratesBothLocations) {
  DerCertificate a = first_.CertificateDer();
  DerCertificate b = second_.CertificateDer();
  EXPECT_TRUE(EnumerateStoreCertificates(u"ROOT").empty());
  ASSERT_EQ(AddStoreCertificate(CertStoreLocation::CurrentUser, u"Root", a), ERROR_SUCCESS);
  ASSERT_EQ(AddStoreCertificate(CertStoreLocation::LocalMachine, u"ROOT", a), ERROR_SUCCESS);
  ASSERT_EQ(AddStoreCertificate(CertStoreLocation::LocalMachine, u"ROOT", b), ERROR_SUCCESS);

  // The key is named by the SHA-1 of the DER bytes in upper-case hexadecimal, as on Windows.
  unsigned char sha1[20];
  ASSERT_EQ(EVP_Digest(a.data(), a.size(), sha1, nullptr, EVP_sha1(), nullptr), 1);
  std::u16string thumbprint;
  for (unsigned char byte : sha1) {
    thumbprint.push_back(u"0123456789ABCDEF"[byte >> 4]);
    thumbprint.push_back(u"0123456789ABCDEF"[byte & 15]);
  }
  EXPECT_EQ(CertificateThumbprint(a), thumbprint);
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\" + thumbprint,
                              KEY_READ, key),
            ERROR_SUCCESS);

  EXPECT_EQ(EnumerateStoreCertificates(CertStoreLocation::CurrentUser, u"ROOT"), std::vector<DerCertificate>{a});
  EXPECT_EQ(EnumerateStoreCertificates(CertStoreLocation::LocalMachine, u"root").size(), 2u);
  std::vector<DerCertificate> both = EnumerateStoreCertificates(u"ROOT");  // a, once, then b
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0], a);
  EXPECT_EQ(both[1], b);
  EXPECT_TRUE(EnumerateStoreCertificates(u"CA").empty());  // stores are separate

  ASSERT_EQ(RemoveStoreCertificate(CertStoreLocation::LocalMachine, u"ROOT", b), ERROR_SUCCESS);
  EXPECT_EQ(RemoveStoreCertificate(CertStoreLocation::LocalMachine, u"ROOT", b), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(EnumerateStoreCertificates(u"ROOT"), std::vector<DerCertificate>{a});
}

TEST_F(CertStoreTest, RefusesBytesThatAreNoCertificateAndSkipsDamagedEntries) {
  DerCertificate a = first_.CertificateDer();
  EXPECT_EQ(AddStoreCertificate(CertStoreLocation::CurrentUser, u"ROOT", {0x30, 0x00}), ERROR_INVALID_PARAMETER);
  DerCertificate padded = a;
  padded.push_back(0);
  EXPECT_EQ(AddStoreCertificate(CertStoreLocation::CurrentUser, u"ROOT", padded), ERROR_INVALID_PARAMETER);

  ASSERT_EQ(AddStoreCertificate(CertStoreLocation::CurrentUser, u"ROOT", a), ERROR_SUCCESS);
  RegistryKey damaged;
  ASSERT_EQ(RegistryKey::Create(HKEY_CURRENT_USER, u"Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\00FF",
                                KEY_ALL_ACCESS, damaged),
            ERROR_SUCCESS);
  uint8_t junk[] = {32, 0, 0, 0, 1, 0, 0, 0, 200, 0, 0, 0, 1, 2};
  ASSERT_EQ(damaged.SetValue(u"Blob", REG_BINARY, junk, sizeof junk), ERROR_SUCCESS);
  EXPECT_EQ(EnumerateStoreCertificates(CertStoreLocation::CurrentUser, u"ROOT"), std::vector<DerCertificate>{a});
}

}  // namespace
}  // namespace Kestrilon::Platform
