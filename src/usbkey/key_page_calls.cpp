// The host's calls into the page's key list.
#include "ui/host/host.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

using UI::ScriptValue;

constexpr size_t kCspNameBufferUnits = 256;  // terminator included

// The page's arguments in its order; the dialog takes them last first.
UI::HRESULT CallPage(std::u16string_view function, std::vector<ScriptValue> pageOrder, ScriptValue* result) {
  UI::IBSDialog* dialog = UI::ApplicationDialog();
  if (!dialog) return Platform::E_FAIL;
  std::vector<ScriptValue> args(pageOrder.rbegin(), pageOrder.rend());
  return dialog->CallScriptFunction(function, args.data(), static_cast<uint32_t>(args.size()), result);
}

std::vector<std::u16string> SplitFields(std::u16string_view text) {
  std::vector<std::u16string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(u';', start);
    fields.emplace_back(text.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
    if (end == std::u16string_view::npos) return fields;
    start = end + 1;
  }
}

}  // namespace

void SetKeyInfo(uint32_t index, std::u16string_view property, std::u16string_view text) {
  CallPage(u"setKeyInfo",
           {ScriptValue::UI4(index), ScriptValue::String(std::u16string(property)), ScriptValue::String(std::u16string(text))},
           nullptr);
}

void SetKeySelected(uint32_t index, int selected) {
  CallPage(u"setKeyInfo", {ScriptValue::UI4(index), ScriptValue::String(u"selected"), ScriptValue::Bool(selected == 1)},
           nullptr);
}

void GetKeyCspName(uint32_t index, std::u16string& buffer) {
  ScriptValue result;
  const auto status = CallPage(u"getKeyInfo", {ScriptValue::UI4(index), ScriptValue::String(u"cspname")}, &result);
  if (status < 0 || !result.IsString() || result.AsString().size() > kCspNameBufferUnits - 1) return;
  // The buffer holds a null-terminated text: an inner null ends it.
  const std::u16string& name = result.AsString();
  buffer = name.substr(0, name.find(u'\0'));
}

void RefreshKeyCertificate(std::u16string_view providerName, uint32_t index) {
  const std::vector<std::u16string> fields = SplitFields(ReadKeyCertificate(providerName));
  static constexpr std::u16string_view kProperties[] = {u"sn", u"issuer", u"subject", u"date"};
  if (fields.size() == 4) {
    for (size_t i = 0; i < 4; ++i) SetKeyInfo(index, kProperties[i], fields[i]);
    CallPage(u"is_can_Open_update", {}, nullptr);
  } else {
    for (auto property : kProperties) SetKeyInfo(index, property, u"");
  }
}

}  // namespace Kestrilon::UsbKey
