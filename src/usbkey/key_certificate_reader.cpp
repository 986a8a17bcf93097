// Reading the certificate of the key behind a provider.
//
// The provider's key containers are the key-pair identities of its PKCS#11 module: the CKA_ID values of
// the private keys and certificates, token by token, in object order. A container holds at most one
// signature and one exchange certificate; the signature one is read first, so the exchange one wins.
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>

#include "platform/fs/fs.h"
#include "platform/pkcs11/pkcs11.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

using Platform::Pkcs11ObjectHandle;
using Platform::Pkcs11Session;
using Bytes = std::vector<uint8_t>;

constexpr std::u16string_view kProvidersKey = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";

enum class KeySpec { Signature, Exchange };

// A certificate whose key usage names only signing belongs to the signature key; every other one
// (encipherment or agreement named, or no key usage at all) to the exchange key, which CryptoAPI also
// uses for keys that both sign and encipher.
std::optional<KeySpec> CertificateKeySpec(const Bytes& der) {
  const unsigned char* cursor = der.data();
  X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
  if (!certificate) return std::nullopt;
  const uint32_t usage = X509_get_key_usage(certificate);
  X509_free(certificate);
  const bool hasUsage = usage != UINT32_MAX;
  const bool exchange = !hasUsage || (usage & (KU_KEY_ENCIPHERMENT | KU_KEY_AGREEMENT)) != 0;
  const bool signature = hasUsage && (usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) != 0;
  if (signature && !exchange) return KeySpec::Signature;
  return KeySpec::Exchange;
}

struct TokenCertificate {
  Bytes id;
  Bytes der;
};

struct TokenContents {
  std::vector<Bytes> containers;  // in object order, each once
  std::vector<TokenCertificate> certificates;
};

TokenContents ReadToken(const Pkcs11Session& session) {
  TokenContents token;
  for (Pkcs11ObjectHandle object : session.FindAllObjects()) {
    const auto objectClass = session.UlongAttribute(object, Platform::kPkcs11AttributeClass);
    if (!objectClass) continue;
    const bool isCertificate = *objectClass == Platform::kPkcs11ClassCertificate;
    if (!isCertificate && *objectClass != Platform::kPkcs11ClassPrivateKey) continue;
    if (isCertificate && session.UlongAttribute(object, Platform::kPkcs11AttributeCertificateType) !=
                             Platform::kPkcs11CertificateX509) {
      continue;
    }
    Bytes id = session.Attribute(object, Platform::kPkcs11AttributeId).value_or(Bytes{});
    if (std::find(token.containers.begin(), token.containers.end(), id) == token.containers.end()) {
      token.containers.push_back(id);
    }
    if (isCertificate) {
      if (auto der = session.Attribute(object, Platform::kPkcs11AttributeValue)) {
        token.certificates.push_back({std::move(id), std::move(*der)});
      }
    }
  }
  return token;
}

// The certificate of one key of a container: the first of that kind with the container's id.
std::optional<std::u16string> ReadKeyOfContainer(const TokenContents& token, const Bytes& container, KeySpec keySpec) {
  for (const auto& certificate : token.certificates) {
    if (certificate.id != container || CertificateKeySpec(certificate.der) != keySpec) continue;
    std::u16string summary = SummarizeCertificate(certificate.der);
    if (!summary.empty()) return summary;
  }
  return std::nullopt;
}

// The module named by a provider's "Image Path": a bare file name lives in the system folder, as
// Windows loads it; Windows and Linux paths resolve through the machine image.
std::string ModuleHostPath(std::u16string imagePath) {
  imagePath = Platform::ExpandEnvironmentStrings(imagePath);
  if (imagePath.empty()) return {};
  if (imagePath.find_first_of(u"\\/") == std::u16string::npos) imagePath = u"%SystemRoot%\\System32\\" + imagePath;
  return Platform::ToHostPath(Platform::ExpandEnvironmentStrings(imagePath)).string();
}

}  // namespace

std::string KeyProviderModulePath(std::u16string_view providerName) {
  // A provider's name is one key name: empty or with a separator, it names no provider.
  if (providerName.empty() || providerName.find(u'\\') != std::u16string_view::npos) return {};
  // The default view: a 32-bit program on 64-bit Windows finds the 32-bit providers (Wow6432Node),
  // which are the ones it can load, exactly as CryptoAPI in that process would.
  Platform::RegistryKey key;
  std::u16string path(kProvidersKey);
  path += providerName;
  if (Platform::RegistryKey::Open(Platform::HKEY_LOCAL_MACHINE, path, Platform::KEY_READ, key) !=
      Platform::ERROR_SUCCESS) {
    return {};
  }
  std::u16string imagePath;
  if (key.GetString(u"Image Path", imagePath) != Platform::ERROR_SUCCESS) return {};
  return ModuleHostPath(std::move(imagePath));
}

std::u16string ReadKeyCertificateFromModule(const std::string& modulePath) {
  std::u16string summary;
  auto module = Platform::Pkcs11Module::Load(modulePath);
  if (!module) return summary;
  const auto slots = module->SlotsWithToken();
  // No token means the default container cannot be opened: no key plugged in.
  if (slots.empty()) return summary;
  for (auto slot : slots) {
    auto session = module->OpenSession(slot);
    if (!session) continue;  // a container that cannot be opened is skipped
    const TokenContents token = ReadToken(*session);
    for (const auto& container : token.containers) {
      for (KeySpec keySpec : {KeySpec::Signature, KeySpec::Exchange}) {
        if (auto read = ReadKeyOfContainer(token, container, keySpec)) summary = std::move(*read);  // last read wins
      }
    }
  }
  return summary;
}

std::u16string ReadKeyCertificate(std::u16string_view providerName) {
  const std::string modulePath = KeyProviderModulePath(providerName);
  if (modulePath.empty()) return {};
  return ReadKeyCertificateFromModule(modulePath);
}

}  // namespace Kestrilon::UsbKey
