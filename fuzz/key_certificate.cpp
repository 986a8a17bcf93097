// What a USB key and the page hand the key reader: a certificate's bytes and a key id text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usbkey/usbkey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> der(data, data + size);
  const std::u16string summary = Kestrilon::UsbKey::SummarizeCertificate(der);
  // A summary, when there is one, always has its four fields.
  if (!summary.empty()) {
    size_t separators = 0;
    for (char16_t c : summary) separators += c == u';';
    if (separators < 3) __builtin_trap();
  }
  std::u16string id(data, data + size);
  Kestrilon::UsbKey::ParseKeyId(id);
  return 0;
}
