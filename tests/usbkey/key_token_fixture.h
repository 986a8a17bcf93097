#pragma once
// Certificates made for the tests, and SoftHSM tokens holding them.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace Kestrilon::Testing {

struct CertificateSpec {
  std::vector<uint8_t> serial = {0x01, 0x02, 0x03};  // most significant first
  // Attributes in encoding order (most general first); a name starting with '+' joins the previous one.
  std::vector<std::pair<std::string, std::string>> issuer = {{"C", "CN"}, {"O", "Test CA"}, {"CN", "Test Root"}};
  std::vector<std::pair<std::string, std::string>> subject = {{"C", "CN"}, {"O", "Bank"}, {"CN", "Holder"}};
  time_t notBefore = 1488414600;  // 2017-03-02 00:30:00 UTC
  time_t notAfter = 1551486600;   // 2019-03-02 00:30:00 UTC
  std::string keyUsage;           // OpenSSL's keyUsage text, e.g. "digitalSignature"; empty: no extension
};

std::vector<uint8_t> MakeCertificate(const CertificateSpec& wanted);

// A SoftHSM configuration of its own (SOFTHSM2_CONF is set while the object lives) and its tokens.
class SoftHsmTokens {
 public:
  SoftHsmTokens();
  ~SoftHsmTokens();
  static std::string ModulePath() { return "/usr/lib/softhsm/libsofthsm2.so"; }
  static bool Available();

  void InitToken(const std::string& label);
  void DeleteToken(const std::string& label);
  // Stores a certificate object (CKA_ID given as hexadecimal) on the token with that label.
  void AddCertificate(const std::string& token, const std::vector<uint8_t>& der, const std::string& idHex);
  const std::filesystem::path& Folder() const { return dir_.Path(); }

 private:
  TempDir dir_;
  int files_ = 0;
};

}  // namespace Kestrilon::Testing
