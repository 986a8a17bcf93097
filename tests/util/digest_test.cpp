// Digests against published test vectors, and the start-up registration of the crypto algorithms.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/temp_dir.h"
#include "util/digest.h"

namespace Kestrilon::Util {
namespace {

TEST(Digest, MatchesKnownVectors) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Bytes, not text: a NUL inside counts.
  EXPECT_EQ(Md5Hex(std::string_view("a\0b", 3)), "70350f6027bce3713f6b76473084309b");
}

TEST(Digest, FileDigestReadsInPieces) {
  Testing::TempDir dir;
  std::string content;
  for (int i = 0; i < 200'000; ++i) content.push_back(static_cast<char>(i * 31));  // past one read buffer
  Testing::WriteFileText(dir / "setup.exe", content);
  for (DigestAlgorithm algorithm : {DigestAlgorithm::Md5, DigestAlgorithm::Sha1, DigestAlgorithm::Sha256}) {
    std::string hex;
    ASSERT_TRUE(FileDigestHex(algorithm, dir / "setup.exe", hex));
    EXPECT_EQ(hex, DigestHex(algorithm, content));
  }
  std::string hex = "kept";
  EXPECT_FALSE(FileDigestHex(DigestAlgorithm::Md5, dir / "missing.exe", hex));
  EXPECT_FALSE(FileDigestHex(DigestAlgorithm::Md5, dir.Path(), hex));  // a folder has no content
  EXPECT_EQ(hex, "kept");
}

// Runs first (death tests do), before anything in this process has loaded the legacy provider.
TEST(CryptoRegistrationDeathTest, FailsCleanlyWithoutTheLegacyProvider) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Testing::TempDir empty;
  std::string modules = empty.Path().string();
  EXPECT_EXIT(
      {
        ::setenv("OPENSSL_MODULES", modules.c_str(), 1);
        bool failed = RegisterCryptoAlgorithms() == Platform::E_FAIL;
        bool nothingKept = !IsCryptoAlgorithmAvailable("MD5") && !IsCryptoAlgorithmAvailable("MD4");
        std::exit(failed && nothingKept ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(CryptoRegistration, MakesAlgorithmsAvailableByName) {
  ASSERT_EQ(RegisterCryptoAlgorithms(), Platform::S_OK);
  EXPECT_EQ(RegisterCryptoAlgorithms(), Platform::S_OK);  // a second call changes nothing
  for (const char* name : {"AES-256-CBC", "MD4", "md5", "SHA1", "SHA-1", "SHA256", "sha-256"})
    EXPECT_TRUE(IsCryptoAlgorithmAvailable(name)) << name;
  EXPECT_FALSE(IsCryptoAlgorithmAvailable("DES-EDE3-CBC"));

  std::string hex;
  ASSERT_TRUE(DigestHexByName("MD4", "abc", hex));
  EXPECT_EQ(hex, "a448017aaf21d8525fc10ae87aa6729d");
  EXPECT_EQ(DigestHex(DigestAlgorithm::Md4, ""), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_FALSE(DigestHexByName("AES-256-CBC", "abc", hex));  // a cipher is no digest

  ReleaseCryptoAlgorithms();
  EXPECT_FALSE(IsCryptoAlgorithmAvailable("MD4"));
  EXPECT_FALSE(DigestHexByName("MD4", "abc", hex));
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");  // plain digests need no registration
  ReleaseCryptoAlgorithms();  // harmless twice
}

}  // namespace
}  // namespace Kestrilon::Util
