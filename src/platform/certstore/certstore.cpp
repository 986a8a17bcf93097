#include "platform/certstore/certstore.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <string>

#include "platform/registry/registry.h"
#include "platform/status.h"

namespace Kestrilon::Platform {
namespace {

constexpr uint32_t kCertificateProperty = 32;  // CERT_CERT_PROP_ID
constexpr uint32_t kReservedWord = 1;

// The stores live outside the 32-bit registry view on 64-bit Windows, so both views share them.
constexpr uint32_t kReadAccess = KEY_READ | KEY_WOW64_64KEY;
constexpr uint32_t kWriteAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

RegistryRoot RootOf(CertStoreLocation location) {
  return location == CertStoreLocation::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::u16string CertificatesPath(CertStoreLocation location, std::u16string_view store) {
  std::u16string path = location == CertStoreLocation::CurrentUser
                            ? u"Software\\Microsoft\\SystemCertificates\\"
                            : u"SOFTWARE\\Microsoft\\SystemCertificates\\";
  path.append(store);
  path.append(u"\\Certificates");
  return path;
}

uint32_t ReadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

bool IsCertificate(const DerCertificate& der) {
  const unsigned char* p = der.data();
  X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  bool whole = certificate && p == der.data() + der.size();
  X509_free(certificate);
  return whole;
}

}  // namespace

std::vector<uint8_t> EncodeCertificateBlob(const DerCertificate& der) {
  std::vector<uint8_t> blob;
  blob.reserve(der.size() + 12);
  AppendU32(blob, kCertificateProperty);
  AppendU32(blob, kReservedWord);
  AppendU32(blob, static_cast<uint32_t>(der.size()));
  blob.insert(blob.end(), der.begin(), der.end());
  return blob;
}

bool DecodeCertificateBlob(const uint8_t* data, size_t size, DerCertificate& der) {
  size_t offset = 0;
  while (size - offset >= 12) {
    uint32_t property = ReadU32(data + offset);
    uint32_t length = ReadU32(data + offset + 8);
    offset += 12;
    if (length > size - offset) return false;
    if (property == kCertificateProperty) {
      der.assign(data + offset, data + offset + length);
      return true;
    }
    offset += length;
  }
  return false;
}

std::u16string CertificateThumbprint(const DerCertificate& der) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(der.data(), der.size(), digest.data(), &size, EVP_sha1(), nullptr) != 1) return {};
  static constexpr char16_t digits[] = u"0123456789ABCDEF";
  std::u16string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(digits[digest[i] >> 4]);
    hex.push_back(digits[digest[i] & 0x0F]);
  }
  return hex;
}

std::vector<DerCertificate> EnumerateStoreCertificates(CertStoreLocation location, std::u16string_view store) {
  std::vector<DerCertificate> certificates;
  RegistryKey key;
  if (RegistryKey::Open(RootOf(location), CertificatesPath(location, store), kReadAccess, key) != ERROR_SUCCESS)
    return certificates;
  std::u16string name;
  for (uint32_t index = 0; key.EnumKey(index, name) == ERROR_SUCCESS; ++index) {
    RegistryKey entry;
    std::vector<uint8_t> blob;
    uint32_t type = 0;
    if (key.OpenSubKey(name, kReadAccess, entry) != ERROR_SUCCESS) continue;
    if (entry.QueryValue(u"Blob", &type, blob) != ERROR_SUCCESS) continue;
    DerCertificate der;
    if (DecodeCertificateBlob(blob.data(), blob.size(), der)) certificates.push_back(std::move(der));
  }
  return certificates;
}

std::vector<DerCertificate> EnumerateStoreCertificates(std::u16string_view store) {
  std::vector<DerCertificate> certificates = EnumerateStoreCertificates(CertStoreLocation::CurrentUser, store);
  for (DerCertificate& der : EnumerateStoreCertificates(CertStoreLocation::LocalMachine, store)) {
    if (std::find(certificates.begin(), certificates.end(), der) == certificates.end())
      certificates.push_back(std::move(der));
  }
  return certificates;
}

int32_t AddStoreCertificate(CertStoreLocation location, std::u16string_view store, const DerCertificate& der) {
  if (!IsCertificate(der)) return ERROR_INVALID_PARAMETER;
  std::u16string path = CertificatesPath(location, store) + u"\\" + CertificateThumbprint(der);
  RegistryKey key;
  int32_t error = RegistryKey::Create(RootOf(location), path, kWriteAccess, key);
  if (error != ERROR_SUCCESS) return error;
  std::vector<uint8_t> blob = EncodeCertificateBlob(der);
  return key.SetValue(u"Blob", REG_BINARY, blob.data(), static_cast<uint32_t>(blob.size()));
}

int32_t RemoveStoreCertificate(CertStoreLocation location, std::u16string_view store, const DerCertificate& der) {
  RegistryKey key;
  int32_t error = RegistryKey::Open(RootOf(location), CertificatesPath(location, store), kWriteAccess, key);
  if (error != ERROR_SUCCESS) return error;
  return key.DeleteTree(CertificateThumbprint(der));  // the thumbprint's key and everything under it
}

}  // namespace Kestrilon::Platform
