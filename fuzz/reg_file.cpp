// The .reg reader over arbitrary bytes, and the writer over whatever it read: writing a parsed file and
// reading it back must give a file that writes the same bytes again, with nothing left unreadable.
#include <cstddef>
#include <cstdint>

#include "platform/registry/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Kestrilon::Platform;
  RegFile first;
  if (!ParseRegFile(data, size, first)) return 0;
  std::vector<uint8_t> written = EncodeRegFile(first);
  RegFile second;
  if (!ParseRegFile(written.data(), written.size(), second) || !second.problems.empty()) __builtin_trap();
  if (EncodeRegFile(second) != written) __builtin_trap();
  return 0;
}
