// OnScriptCommand: one switch over the command numbers. Each subsystem adds the case of its command.
#include "app/assistant_app.h"
#include "app/commands.h"
#include "app/core_commands.h"
#include "config/config.h"
#include "net/http.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::App {

void OnScriptCommand(ScriptValue& result, IBSDialog* host, const ScriptValue& name, const ScriptValue& a2,
                     const ScriptValue& a3, const ScriptValue& a4, const ScriptValue& a5) {
  ScriptValue out;
  try {
  switch (LookupCommand(name)) {
    case Commands::kGetConfig:
      out = Config::GetConfigCommand(GetProfileString(kSettingsSection, u"ConfigUrl", u""), RequestQuit); break;
    case Commands::kSaveSettings: SaveSettingsCommand(a2, a3); break;
    case Commands::kLoadSettings: out = LoadSettingsCommand(a2, a3); break;
    case Commands::kMessageBox: MessageBoxCommand(host, a2, a3); break;
    case Commands::kDebugPrint: break;
    case Commands::kDelayMs: DelayMsCommand(a2); break;
    case Commands::kCallJs: CallJsCommand(host, a2, a3, a4, a5); break;
    case Commands::kGetData: out = Config::GetDataCommand(a2); break;
    case Commands::kDoExtraStartup: out = DoExtraStartupCommand(); break;
    case Commands::kSetLog: SetLogCommand(a2); break;
    case Commands::kRestartApp: RequestRestart(); break;
    case Commands::kMiniSize: MiniSizeCommand(host); break;
    case Commands::kQuit: RequestQuit(); break;
    case Commands::kHttpPost: out = Network::HttpPostCommand(a2); break;
    case Commands::kIsKeyConnect: out = UsbKey::IsKeyConnectCommand(a2, a3); break;
    case Commands::kUpdateKeyInfo: out = UsbKey::UpdateKeyInfoCommand(a2, a3); break;
    case Commands::kGetSmInfo: out = UsbKey::GetSmInfoCommand(a2); break;
    default: break;  // not in the table, unassigned, or not built: the result stays empty
  }
  } catch (...) {
    out = ScriptValue();  // nothing reaches the script but the empty result
  }
  result = std::move(out);
}

}  // namespace Kestrilon::App
