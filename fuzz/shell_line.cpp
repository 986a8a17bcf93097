// One input line of kestrilon-shell: decoded, dispatched through OnScriptCommand, its output encoded.
//
// Only the commands that work on the settings, the host and the page are run. The others wait by
// design (delay_ms), flush a file to disk per call (set_Log), or reach the network, start programs or
// end the process; they have their own tests. Every line still goes through the decoder.
// Run with -dict=fuzz/shell_line.dict for the kind and command names.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "app/commands.h"
#include "platform/machine/machine_image.h"
#include "tools/kestrilon-shell/shell_session.h"

namespace {

using namespace Kestrilon;

bool Runnable(int32_t command) {
  switch (command) {
    case App::Commands::kSaveSettings:
    case App::Commands::kLoadSettings:
    case App::Commands::kMessageBox:
    case App::Commands::kDebugPrint:
    case App::Commands::kCallJs:
    case App::Commands::kDoExtraStartup:
      return true;
    default:
      // Names and numbers no command uses.
      return command <= 0 || command > App::Commands::kQuit || command == 20;
  }
}

std::filesystem::path g_imageFolder;

Tools::ShellSession& Session() {
  static Tools::ShellSession* session = [] {
    // A throw-away machine image, in memory where the system offers it.
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "kestrilon-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    g_imageFolder = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(g_imageFolder, ignored);
    });
    Platform::MachineImage::UseDirectory(g_imageFolder / "image");
    Tools::ShellOptions options;
    options.keys = nlohmann::ordered_json::parse(R"([{"cspname":"csp","n":{"kind":"VT_UI4","value":1}}])");
    return new Tools::ShellSession(std::move(options));
  }();
  return *session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!data) return 0;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  UI::ScriptValue values[5];
  std::string error;
  Tools::ShellSession& session = Session();
  if (!Tools::ShellSession::ParseCommandLine(line, values, error)) return 0;
  if (!Runnable(App::LookupCommand(values[0]))) return 0;
  session.HandleLine(line);
  return 0;
}
