#pragma once
// The commands that need nothing but the settings store, the log and the host.
#include "app/commands.h"

namespace Kestrilon::App {

void SaveSettingsCommand(const ScriptValue& key, const ScriptValue& value);
ScriptValue LoadSettingsCommand(const ScriptValue& key, const ScriptValue& defaultValue);
void MessageBoxCommand(IBSDialog* host, const ScriptValue& text, const ScriptValue& iconKind);
void DelayMsCommand(const ScriptValue& milliseconds);
void CallJsCommand(IBSDialog* host, const ScriptValue& function, const ScriptValue& a3, const ScriptValue& a4,
                   const ScriptValue& a5);
ScriptValue DoExtraStartupCommand();
void SetLogCommand(const ScriptValue& text);

}  // namespace Kestrilon::App
