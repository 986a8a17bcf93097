#pragma once
// Certificate stores of the machine image ("ROOT", "CA", "MY", ...), kept where Windows keeps them in
// the registry:
//   user:    HKCU\Software\Microsoft\SystemCertificates\<store>\Certificates\<SHA-1 thumbprint>
//   machine: HKLM\SOFTWARE\Microsoft\SystemCertificates\<store>\Certificates\<SHA-1 thumbprint>
// Each certificate is the value "Blob": serialized properties, each a property id (u32), a reserved
// word (u32, 1), a length (u32) and the data; the encoded (DER) certificate is property 32.
#include <cstdint>
#include <string_view>
#include <vector>

namespace Kestrilon::Platform {

enum class CertStoreLocation { CurrentUser, LocalMachine };

using DerCertificate = std::vector<uint8_t>;

// The DER certificates of one store, in the registry's order; empty when the store does not exist.
std::vector<DerCertificate> EnumerateStoreCertificates(CertStoreLocation location, std::u16string_view store);
// The user's view of a store: the user's own certificates, then the machine's (as a user's "ROOT"
// store on Windows also shows the machine's roots), each certificate once.
std::vector<DerCertificate> EnumerateStoreCertificates(std::u16string_view store);

// Adds (or replaces) one certificate under its thumbprint; removes one. Win32 error codes
// (ERROR_INVALID_PARAMETER for bytes that are not a certificate, ERROR_FILE_NOT_FOUND when absent).
int32_t AddStoreCertificate(CertStoreLocation location, std::u16string_view store, const DerCertificate& der);
int32_t RemoveStoreCertificate(CertStoreLocation location, std::u16string_view store, const DerCertificate& der);

// The "Blob" value format. Decoding answers false when the blob is malformed or holds no certificate.
std::vector<uint8_t> EncodeCertificateBlob(const DerCertificate& der);
bool DecodeCertificateBlob(const uint8_t* data, size_t size, DerCertificate& der);
// The thumbprint Windows names the key by: the SHA-1 of the DER bytes, upper-case hexadecimal.
std::u16string CertificateThumbprint(const DerCertificate& der);

}  // namespace Kestrilon::Platform
