// The key commands of the page: is_key_connect, update_key_info, Get_SM_info.
#include "ui/host/host.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {

using UI::ScriptValue;

ScriptValue IsKeyConnectCommand(const ScriptValue& a2, const ScriptValue& a3) {
  if (!a2.IsString()) return {};
  const uint32_t keyId = ParseKeyId(a2.AsString());
  const uint32_t index = a3.AsUI4();  // the raw 32 bits, whatever the kind
  if (!IsUsbDevicePresent(keyId)) {
    SetKeySelected(index, 0);
    return ScriptValue::Bool(false);
  }
  SetKeySelected(index, 1);
  std::u16string cspName;
  GetKeyCspName(index, cspName);
  RefreshKeyCertificate(cspName, index);
  return ScriptValue::Bool(true);
}

// The integer argument names no provider; the key's provider is the one the page lists for the key,
// as is_key_connect reads it.
ScriptValue UpdateKeyInfoCommand(const ScriptValue& a2, const ScriptValue& a3) {
  if (a2.Kind() != UI::VT_I4) {
    UI::ShowMessage(std::u16string(u"update_key_info第2个参数应该为int类型！"), std::u16string(u"错误"),
                    UI::MessageText(uint32_t{102}), UI::kIconError);
    return {};
  }
  const uint32_t index = a3.AsUI4();
  std::u16string cspName;
  GetKeyCspName(index, cspName);
  RefreshKeyCertificate(cspName, index);
  return ScriptValue::I4(a2.AsI4());
}

ScriptValue GetSmInfoCommand(const ScriptValue& a2) {
  if (!a2.IsString()) return {};
  return ScriptValue::String(ReadKeyCertificate(a2.AsString()));
}

}  // namespace Kestrilon::UsbKey
