#include "app/commands.h"

namespace Kestrilon::App {

const std::map<std::u16string, int32_t>& CommandTable() {
  static const std::map<std::u16string, int32_t> table = {
      {u"get_config", Commands::kGetConfig},     {u"save_settings", Commands::kSaveSettings},
      {u"load_settings", Commands::kLoadSettings}, {u"messagebox", Commands::kMessageBox},
      {u"open_ie", Commands::kOpenIe},           {u"get_data", Commands::kGetData},
      {u"is_key_connect", Commands::kIsKeyConnect}, {u"do_check", Commands::kDoCheck},
      {u"do_fix", Commands::kDoFix},             {u"do_install", Commands::kDoInstall},
      {u"get_version", Commands::kGetVersion},   {u"debug_print", Commands::kDebugPrint},
      {u"delay_ms", Commands::kDelayMs},         {u"call_js", Commands::kCallJs},
      {u"do_extra_startup", Commands::kDoExtraStartup}, {u"check_update", Commands::kCheckUpdate},
      {u"update_key_info", Commands::kUpdateKeyInfo}, {u"restart_app", Commands::kRestartApp},
      {u"http_post", Commands::kHttpPost},       {u"set_Log", Commands::kSetLog},
      {u"Get_SM_info", Commands::kGetSmInfo},    {u"mini_size", Commands::kMiniSize},
      {u"quit", Commands::kQuit},
  };
  return table;
}

namespace {
// Builds the table during static initialisation, before any window exists.
[[maybe_unused]] const auto& g_commandTableAtStart = CommandTable();
}  // namespace

int32_t LookupCommand(const ScriptValue& name) {
  if (name.Kind() == UI::VT_I4) return name.AsI4();
  if (name.Kind() != UI::VT_BSTR) return -1;
  const auto& table = CommandTable();
  auto it = table.find(name.AsString());
  return it == table.end() ? -1 : it->second;
}

}  // namespace Kestrilon::App
