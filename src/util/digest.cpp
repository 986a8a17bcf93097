// Digests of bytes and files through OpenSSL's EVP interface, as lower-case hexadecimal.
#include "util/digest.h"

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <memory>

namespace Kestrilon::Util {
namespace {

struct MdContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct MdFree {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;
using FetchedMd = std::unique_ptr<EVP_MD, MdFree>;

const char* AlgorithmName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::Md4: return "MD4";
    case DigestAlgorithm::Md5: return "MD5";
    case DigestAlgorithm::Sha1: return "SHA1";
    case DigestAlgorithm::Sha256: return "SHA256";
  }
  return "";
}

std::string ToHex(const unsigned char* bytes, unsigned int size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(digits[bytes[i] >> 4]);
    hex.push_back(digits[bytes[i] & 0x0F]);
  }
  return hex;
}

// Feeds `source` to a digest context and returns the hex digest, or empty when the algorithm is
// unavailable or `source` reports a failure.
template <typename Feed>
std::string Compute(const char* name, Feed&& feed) {
  FetchedMd md(EVP_MD_fetch(nullptr, name, nullptr));
  MdContext context(EVP_MD_CTX_new());
  if (!md || !context || EVP_DigestInit_ex(context.get(), md.get(), nullptr) != 1) return {};
  if (!feed(context.get())) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1) return {};
  return ToHex(digest.data(), size);
}

}  // namespace

std::string DigestHexByNameOrEmpty(const char* name, std::string_view bytes) {
  return Compute(name, [&](EVP_MD_CTX* context) {
    return EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1;
  });
}

std::string DigestHex(DigestAlgorithm algorithm, std::string_view bytes) {
  return DigestHexByNameOrEmpty(AlgorithmName(algorithm), bytes);
}

std::string Md5Hex(std::string_view bytes) { return DigestHex(DigestAlgorithm::Md5, bytes); }
std::string Sha1Hex(std::string_view bytes) { return DigestHex(DigestAlgorithm::Sha1, bytes); }
std::string Sha256Hex(std::string_view bytes) { return DigestHex(DigestAlgorithm::Sha256, bytes); }

bool FileDigestHex(DigestAlgorithm algorithm, const std::filesystem::path& file, std::string& hex) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string result = Compute(AlgorithmName(algorithm), [&](EVP_MD_CTX* context) {
    std::array<char, 64 * 1024> buffer;
    while (in) {
      in.read(buffer.data(), buffer.size());
      std::streamsize got = in.gcount();
      if (got > 0 && EVP_DigestUpdate(context, buffer.data(), static_cast<size_t>(got)) != 1) return false;
    }
    return in.eof();  // a read error is not the end of the file
  });
  if (result.empty()) return false;
  hex = std::move(result);
  return true;
}

}  // namespace Kestrilon::Util
