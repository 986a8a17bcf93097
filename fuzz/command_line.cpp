// The Windows command-line splitter over arbitrary UTF-16 text (two input bytes per unit), and the
// quoting that must give every split argument back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/process/process.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Kestrilon::Platform;
  std::u16string line;
  for (size_t i = 0; i + 1 < size; i += 2) line += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  if (line.empty()) return 0;  // the empty line names the running program, which needs a machine image
  const std::vector<std::u16string> argv = CommandLineToArgv(line);
  if (argv.empty()) __builtin_trap();
  std::vector<std::u16string> rebuilt = {u"C:\\Program Files\\p.exe"};
  rebuilt.insert(rebuilt.end(), argv.begin() + 1, argv.end());
  if (CommandLineToArgv(BuildCommandLine(rebuilt)) != rebuilt) __builtin_trap();
  return 0;
}
