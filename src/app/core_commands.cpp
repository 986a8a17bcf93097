#include "app/core_commands.h"

#include <chrono>

#include "platform/text/text.h"

namespace Kestrilon::App {
namespace {

using UI::VT_BOOL;
using UI::VT_BSTR;
using UI::VT_I4;

uint32_t TickCountMs() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

void SaveSettingsCommand(const ScriptValue& key, const ScriptValue& value) {
  if (!key.IsString()) {
    UI::ShowErrorMessage(u"save_settings第2个参数应该为String类型！");
    return;
  }
  switch (value.Kind()) {
    case VT_I4: WriteProfileInt(kSettingsSection, key.AsString(), value.AsI4()); break;
    case VT_BSTR: WriteProfileString(kSettingsSection, key.AsString(), value.AsString()); break;
    case VT_BOOL: WriteProfileInt(kSettingsSection, key.AsString(), value.AsBool() ? -1 : 0); break;
    default: UI::ShowErrorMessage(u"save_settings第3个参数使用了不支持的类型！"); break;
  }
}

ScriptValue LoadSettingsCommand(const ScriptValue& key, const ScriptValue& defaultValue) {
  if (!key.IsString()) {
    UI::ShowErrorMessage(u"load_settings第2个参数应该为String类型！");
    return {};
  }
  switch (defaultValue.Kind()) {
    case VT_I4: return ScriptValue::I4(GetProfileInt(kSettingsSection, key.AsString(), defaultValue.AsI4()));
    case VT_BSTR:
      return ScriptValue::String(GetProfileString(kSettingsSection, key.AsString(), defaultValue.AsString()));
    case VT_BOOL: {
      // The low 16 bits of the stored integer: -1 reads as true, 0 as false, 1 as a boolean of value 1.
      int32_t stored = GetProfileInt(kSettingsSection, key.AsString(), defaultValue.AsBool() ? -1 : 0);
      return ScriptValue::BoolRaw(static_cast<int16_t>(static_cast<uint16_t>(stored & 0xFFFF)));
    }
    default: UI::ShowErrorMessage(u"load_settings第3个参数使用了不支持的类型！"); return {};
  }
}

void MessageBoxCommand(IBSDialog* host, const ScriptValue& text, const ScriptValue& iconKind) {
  if (!text.IsString()) return;
  const int32_t icon = iconKind.Kind() == VT_I4 ? iconKind.AsI4() : 0;
  UI::ShowMessage(text.AsString(), std::u16string(), UI::IDS_APP_TITLE, icon, host ? host->GetWindowHandle() : 0);
}

void DelayMsCommand(const ScriptValue& milliseconds) {
  if (milliseconds.Kind() != VT_I4) return;
  // A negative wait would read as some 49 days in unsigned tick arithmetic and hang the window: it is 0.
  const uint32_t wait = milliseconds.AsI4() < 0 ? 0 : static_cast<uint32_t>(milliseconds.AsI4());
  const uint32_t start = TickCountMs();
  do {
    UI::ProcessOneHostEvent();
  } while (static_cast<uint32_t>(TickCountMs() - start) < wait);
}

void CallJsCommand(IBSDialog* host, const ScriptValue& function, const ScriptValue& a3, const ScriptValue& a4,
                   const ScriptValue& a5) {
  if (!function.IsString() || !host) return;
  // The invocation's list: the page function receives a5, a4, a3.
  ScriptValue args[3] = {a3, a4, a5};
  host->CallScriptFunction(function.AsString(), args, 3, nullptr);
}

ScriptValue DoExtraStartupCommand() {
  const auto arguments = StartupArguments();
  if (arguments.size() == 2) return ScriptValue::String(arguments[1]);
  return ScriptValue::String(u"Normal");
}

void SetLogCommand(const ScriptValue& text) {
  if (!text.IsString()) return;
  // The log takes a null-terminated text: an embedded null ends it.
  WriteLogLine(Platform::ToUtf8(text.AsString()).c_str());
}

}  // namespace Kestrilon::App
