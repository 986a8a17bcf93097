#include <mutex>

#include "app/commands.h"
#include "platform/text/text.h"

namespace Kestrilon::App {
namespace {
std::mutex g_mutex;
std::vector<std::u16string> g_arguments;
}  // namespace

void SetStartupArguments(std::vector<std::u16string> arguments) {
  std::lock_guard lock(g_mutex);
  g_arguments = std::move(arguments);
}

void SetStartupArguments(int argc, const char* const* argv) {
  std::vector<std::u16string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(Platform::ToUtf16(argv[i] ? argv[i] : ""));
  SetStartupArguments(std::move(arguments));
}

std::vector<std::u16string> StartupArguments() {
  std::lock_guard lock(g_mutex);
  return g_arguments;
}

}  // namespace Kestrilon::App
