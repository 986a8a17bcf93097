#include "usbkey/key_token_fixture.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>

namespace Kestrilon::Testing {
namespace {

EVP_PKEY* TestKey() {
  static EVP_PKEY* key = EVP_EC_gen("P-256");
  return key;
}

void AddName(X509_NAME* name, const std::vector<std::pair<std::string, std::string>>& attributes) {
  for (const auto& [field, value] : attributes) {
    const bool joins = !field.empty() && field[0] == '+';
    const std::string type = joins ? field.substr(1) : field;
    X509_NAME_add_entry_by_txt(name, type.c_str(), MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, joins ? -1 : 0);
  }
}

int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

}  // namespace

std::vector<uint8_t> MakeCertificate(const CertificateSpec& wanted) {
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  BIGNUM* serial = BN_bin2bn(wanted.serial.data(), static_cast<int>(wanted.serial.size()), nullptr);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate));
  BN_free(serial);
  AddName(X509_get_issuer_name(certificate), wanted.issuer);
  AddName(X509_get_subject_name(certificate), wanted.subject);
  ASN1_TIME_set(X509_getm_notBefore(certificate), wanted.notBefore);
  ASN1_TIME_set(X509_getm_notAfter(certificate), wanted.notAfter);
  X509_set_pubkey(certificate, TestKey());
  if (!wanted.keyUsage.empty()) {
    X509_EXTENSION* usage = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, wanted.keyUsage.c_str());
    X509_add_ext(certificate, usage, -1);
    X509_EXTENSION_free(usage);
  }
  X509_sign(certificate, TestKey(), EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  std::vector<uint8_t> bytes(der, der + (length > 0 ? length : 0));
  OPENSSL_free(der);
  X509_free(certificate);
  return bytes;
}

SoftHsmTokens::SoftHsmTokens() : dir_("kestrilon-softhsm") {
  std::filesystem::create_directories(dir_.Path() / "tokens");
  WriteFileText(dir_.Path() / "softhsm2.conf", "directories.tokendir = " + (dir_.Path() / "tokens").string() +
                                                   "\nobjectstore.backend = file\nlog.level = ERROR\n");
  setenv("SOFTHSM2_CONF", (dir_.Path() / "softhsm2.conf").c_str(), 1);
}

SoftHsmTokens::~SoftHsmTokens() { unsetenv("SOFTHSM2_CONF"); }

bool SoftHsmTokens::Available() {
  return std::filesystem::exists(ModulePath()) && Run("command -v softhsm2-util") == 0 &&
         Run("command -v pkcs11-tool") == 0;
}

void SoftHsmTokens::InitToken(const std::string& label) {
  ASSERT_EQ(Run("softhsm2-util --init-token --free --label '" + label + "' --pin 1234 --so-pin 5678"), 0);
}

void SoftHsmTokens::DeleteToken(const std::string& label) {
  ASSERT_EQ(Run("softhsm2-util --delete-token --token '" + label + "'"), 0);
}

void SoftHsmTokens::AddCertificate(const std::string& token, const std::vector<uint8_t>& der, const std::string& idHex) {
  const auto file = dir_.Path() / ("object" + std::to_string(++files_) + ".der");
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(der.data()), der.size());
  ASSERT_EQ(Run("pkcs11-tool --module " + ModulePath() + " --token-label '" + token +
                "' --login --pin 1234 --write-object '" + file.string() + "' --type cert --id " + idHex),
            0);
}

}  // namespace Kestrilon::Testing
