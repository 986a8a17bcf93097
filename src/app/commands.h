#pragma once
// The command bridge: the page's named commands, their dispatch, and what the core commands keep
// (settings, the log file, the start-up arguments), plus the hooks through which a host ends or
// restarts the program.
//
// Adding a command: write its function in the folder that owns the work, then add one case line to
// the switch in app/command_dispatch.cpp and the folder's library to kestrilon_app's LIBS.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ui/host/host.h"
#include "ui/host/script_value.h"

namespace Kestrilon::App {

using UI::IBSDialog;
using UI::ScriptValue;

// Command numbers (20 is not assigned).
namespace Commands {
inline constexpr int32_t kGetConfig = 1;
inline constexpr int32_t kSaveSettings = 2;
inline constexpr int32_t kLoadSettings = 3;
inline constexpr int32_t kMessageBox = 4;
inline constexpr int32_t kOpenIe = 5;
inline constexpr int32_t kGetData = 6;
inline constexpr int32_t kIsKeyConnect = 7;
inline constexpr int32_t kDoCheck = 8;
inline constexpr int32_t kDoFix = 9;
inline constexpr int32_t kDoInstall = 10;
inline constexpr int32_t kGetVersion = 11;
inline constexpr int32_t kDebugPrint = 12;
inline constexpr int32_t kDelayMs = 13;
inline constexpr int32_t kCallJs = 14;
inline constexpr int32_t kDoExtraStartup = 15;
inline constexpr int32_t kCheckUpdate = 16;
inline constexpr int32_t kUpdateKeyInfo = 17;
inline constexpr int32_t kRestartApp = 18;
inline constexpr int32_t kHttpPost = 19;
inline constexpr int32_t kSetLog = 21;
inline constexpr int32_t kGetSmInfo = 22;
inline constexpr int32_t kMiniSize = 23;
inline constexpr int32_t kQuit = 24;
}  // namespace Commands

// Command name (compared exactly, case-sensitively) to number; built during static initialisation and
// never changed afterwards.
const std::map<std::u16string, int32_t>& CommandTable();
// A VT_I4 name is its own number; a VT_BSTR name is looked up in the table; anything else gives -1.
int32_t LookupCommand(const ScriptValue& name);

// The command callback of the dialog hosts. `result` starts empty and is set where the command has a
// result; a number no command uses leaves it empty. Never fails towards the script.
void OnScriptCommand(ScriptValue& result, IBSDialog* host, const ScriptValue& name, const ScriptValue& a2,
                     const ScriptValue& a3, const ScriptValue& a4, const ScriptValue& a5);

// The process's command line, split as CommandLineToArgvW splits it: the program, then its arguments.
// The program's main passes its argv; kestrilon-shell passes its own name and the words of --args.
void SetStartupArguments(std::vector<std::u16string> arguments);
void SetStartupArguments(int argc, const char* const* argv);
std::vector<std::u16string> StartupArguments();

// Lifetime. A host installs what ending and restarting the program mean for it: the window host ends
// its message loop (and for a restart starts the program again first); kestrilon-shell reports
// {"quit": true} / {"restart": true} and ends after the current line. The commands that end or restart
// the program call RequestQuit/RequestRestart; without hooks they do nothing.
struct LifetimeHooks {
  std::function<void()> quit;
  std::function<void()> restart;
};
void SetLifetimeHooks(LifetimeHooks hooks);
void RequestQuit();
void RequestRestart();

// The settings store: HKEY_CURRENT_USER\Software\Kestrilon\<application name>\<section> in the machine
// image's registry. Every access opens the key path for reading and writing and creates its missing
// keys first, so even a read leaves the (empty) keys behind. A missing value or any registry error on
// reading gives the default; writes answer success.
inline constexpr std::u16string_view kSettingsSection = u"Settings";
// The program file's name without extension: "kestrilon-assistant" (kestrilon-shell is the same
// program without a window and shares its settings).
std::u16string ApplicationName();
std::u16string SettingsKeyPath(std::u16string_view section);  // Software\Kestrilon\<name>\<section>
int32_t GetProfileInt(std::u16string_view section, std::u16string_view key, int32_t defaultValue);
std::u16string GetProfileString(std::u16string_view section, std::u16string_view key,
                                std::u16string_view defaultValue);
bool WriteProfileInt(std::u16string_view section, std::u16string_view key, int32_t value);
bool WriteProfileString(std::u16string_view section, std::u16string_view key, std::u16string_view value);

// The log file "Log.log" beside the program file. Appends the prefix
// "(pid) yyyy/mm/dd hh:mm:ss.mmm000: " (local time), `text` up to its first null, and "\r\n", then
// flushes to disk; true when the flush succeeded. The file is opened at the first call that can open
// it, positioned at its end once, and kept open until the process ends.
bool WriteLogLine(const char* text);

}  // namespace Kestrilon::App
