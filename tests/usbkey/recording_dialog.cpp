#include "usbkey/recording_dialog.h"

#include "platform/text/text.h"

namespace Kestrilon::Testing {

namespace {
std::string Format(const UI::ScriptValue& value) {
  switch (value.Kind()) {
    case UI::VT_BSTR: return "\"" + Platform::ToUtf8(value.AsString()) + "\"";
    case UI::VT_BOOL: return value.AsBool() ? "true" : "false";
    case UI::VT_UI4: return std::to_string(value.AsUI4());
    case UI::VT_I4:
    case UI::VT_INT: return std::to_string(value.AsI4());
    default: return "?";
  }
}
}  // namespace

UI::HRESULT RecordingDialog::CallScriptFunction(std::u16string_view name, const UI::ScriptValue* args, uint32_t count,
                                                UI::ScriptValue* result) {
  std::string call = Platform::ToUtf8(name) + "(";
  for (uint32_t i = count; i-- > 0;) call += Format(args[i]) + (i ? "," : "");
  calls.push_back(call + ")");
  if (name == u"getKeyInfo" && count == 2 && result) {
    const auto found = cspNames.find(args[1].AsUI4());
    if (found == cspNames.end()) return Platform::E_FAIL;
    *result = found->second;
  }
  return 0;
}

}  // namespace Kestrilon::Testing
