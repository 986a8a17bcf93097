// The PE version reader over arbitrary bytes: it must answer without reading outside the input.
#include <cstdint>
#include <cstddef>

#include "platform/pe/pe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Kestrilon::Platform::FixedFileInfo info;
  if (Kestrilon::Platform::ReadFixedFileInfoFromBytes(data, size, &info) &&
      info.dwSignature != Kestrilon::Platform::VS_FFI_SIGNATURE)
    __builtin_trap();  // a block is only reported with its signature
  return 0;
}
