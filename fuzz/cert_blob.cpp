// The certificate store's "Blob" decoder over arbitrary bytes (registry data can come from any .reg file).
#include <cstddef>
#include <cstdint>

#include "platform/certstore/certstore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Kestrilon::Platform::DerCertificate der;
  if (Kestrilon::Platform::DecodeCertificateBlob(data, size, der)) {
    if (der.size() + 12 > size) __builtin_trap();  // the certificate comes from inside the blob
    std::vector<uint8_t> again = Kestrilon::Platform::EncodeCertificateBlob(der);
    Kestrilon::Platform::DerCertificate round;
    if (!Kestrilon::Platform::DecodeCertificateBlob(again.data(), again.size(), round) || round != der) __builtin_trap();
  }
  return 0;
}
