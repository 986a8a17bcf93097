// The crypto algorithms the program looks up by name, made available once at start-up.
//
// OpenSSL 3 serves algorithms from providers. MD4 is only in the legacy provider, and loading any
// provider explicitly stops OpenSSL from loading the default one by itself, so both are loaded here.
// Each algorithm is fetched once to prove it is really there; the fetched objects are kept until the
// release at exit.
#include "util/digest.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <mutex>
#include <string>
#include <vector>


namespace Kestrilon::Util {

std::string DigestHexByNameOrEmpty(const char* name, std::string_view bytes);  // digest.cpp

namespace {

constexpr const char* kDigestNames[] = {"MD4", "MD5", "SHA1", "SHA256"};
constexpr const char* kCipherNames[] = {"AES-256-CBC"};

struct Registry {
  std::mutex lock;
  OSSL_PROVIDER* defaultProvider = nullptr;
  OSSL_PROVIDER* legacyProvider = nullptr;
  std::vector<EVP_MD*> digests;
  std::vector<EVP_CIPHER*> ciphers;
  bool registered = false;

  void ReleaseLocked() {
    for (EVP_MD* md : digests) EVP_MD_free(md);
    for (EVP_CIPHER* cipher : ciphers) EVP_CIPHER_free(cipher);
    digests.clear();
    ciphers.clear();
    if (legacyProvider) OSSL_PROVIDER_unload(legacyProvider);
    if (defaultProvider) OSSL_PROVIDER_unload(defaultProvider);
    legacyProvider = defaultProvider = nullptr;
    registered = false;
  }
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

Platform::HRESULT RegisterCryptoAlgorithms() {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  if (registry.registered) return Platform::S_OK;
  registry.defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
  registry.legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
  bool complete = registry.defaultProvider && registry.legacyProvider;
  for (const char* name : kDigestNames) {
    if (!complete) break;
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md) registry.digests.push_back(md);
    complete = md != nullptr;
  }
  for (const char* name : kCipherNames) {
    if (!complete) break;
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    if (cipher) registry.ciphers.push_back(cipher);
    complete = cipher != nullptr;
  }
  if (!complete) {
    registry.ReleaseLocked();
    return Platform::E_FAIL;
  }
  registry.registered = true;
  return Platform::S_OK;
}

void ReleaseCryptoAlgorithms() {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  registry.ReleaseLocked();
}

bool IsCryptoAlgorithmAvailable(std::string_view name) {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  std::string wanted(name);
  for (EVP_MD* md : registry.digests)
    if (EVP_MD_is_a(md, wanted.c_str())) return true;
  for (EVP_CIPHER* cipher : registry.ciphers)
    if (EVP_CIPHER_is_a(cipher, wanted.c_str())) return true;
  return false;
}

bool DigestHexByName(std::string_view name, std::string_view bytes, std::string& hex) {
  if (!IsCryptoAlgorithmAvailable(name)) return false;
  std::string result = DigestHexByNameOrEmpty(std::string(name).c_str(), bytes);
  if (result.empty()) return false;
  hex = std::move(result);
  return true;
}

}  // namespace Kestrilon::Util
