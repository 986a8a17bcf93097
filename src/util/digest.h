#pragma once
// Digests as lower-case hexadecimal (OpenSSL EVP), and the start-up registration of the crypto
// algorithms the program looks up by name.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace Kestrilon::Util {

enum class DigestAlgorithm { Md4, Md5, Sha1, Sha256 };

// The digest of `bytes` as lower-case hexadecimal (32 digits for MD5, 40 for SHA-1, 64 for SHA-256).
// Empty only when the algorithm is unavailable (MD4 before RegisterCryptoAlgorithms).
std::string DigestHex(DigestAlgorithm algorithm, std::string_view bytes);
std::string Md5Hex(std::string_view bytes);
std::string Sha1Hex(std::string_view bytes);
std::string Sha256Hex(std::string_view bytes);

// The digest of a file's content (a host path), read in pieces. False when the file cannot be read.
bool FileDigestHex(DigestAlgorithm algorithm, const std::filesystem::path& file, std::string& hex);

// Start-up: makes AES-256-CBC, MD4, MD5, SHA-1 and SHA-256 available for lookup by name. MD4 lives in
// OpenSSL's legacy provider, which is loaded here. S_OK on success; E_FAIL (nothing kept loaded) when
// an algorithm cannot be found, so start-up can end cleanly.
Platform::HRESULT RegisterCryptoAlgorithms();
// Exit: releases what RegisterCryptoAlgorithms loaded. Harmless when nothing is registered.
void ReleaseCryptoAlgorithms();
// Whether a registered algorithm answers to `name` ("AES-256-CBC", "MD4", "MD5", "SHA1", "SHA256";
// case-insensitive, OpenSSL's aliases included).
bool IsCryptoAlgorithmAvailable(std::string_view name);
// The digest named `name` of `bytes` as lower-case hexadecimal; false when no such digest is available.
bool DigestHexByName(std::string_view name, std::string_view bytes, std::string& hex);

}  // namespace Kestrilon::Util
