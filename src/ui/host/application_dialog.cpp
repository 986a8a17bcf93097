// The process-wide application dialog and the two page-call helpers that go through it.
#include <atomic>

#include "platform/text/text.h"
#include "ui/host/host.h"

namespace Kestrilon::UI {
namespace {
std::atomic<IBSDialog*> g_applicationDialog{nullptr};
}  // namespace

IBSDialog* ApplicationDialog() { return g_applicationDialog.load(); }
void SetApplicationDialog(IBSDialog* dialog) { g_applicationDialog.store(dialog); }

namespace {
void CallSetItemInfo(uint32_t index, const char* property, const ScriptValue& text) {
  IBSDialog* dialog = ApplicationDialog();
  if (!dialog) return;
  // The invocation's list holds the arguments in reverse.
  ScriptValue args[3] = {text, ScriptValue::String(Platform::ToUtf16(property ? property : "")),
                         ScriptValue::UI4(index)};
  dialog->CallScriptFunction(u"setItemInfo", args, 3, nullptr);
}
}  // namespace

void SetItemInfo(uint32_t index, const char* property, const char16_t* text) {
  CallSetItemInfo(index, property, text ? ScriptValue::String(text) : ScriptValue::NullString());
}

void SetItemInfo(uint32_t index, const char* property, std::u16string_view text) {
  CallSetItemInfo(index, property, ScriptValue::String(std::u16string(text)));
}

void SetProgress(int32_t progress, int32_t index, bool status) {
  IBSDialog* dialog = ApplicationDialog();
  if (!dialog) return;
  ScriptValue args[3] = {ScriptValue::Bool(status), ScriptValue::Int(index), ScriptValue::Int(progress)};
  dialog->CallScriptFunction(u"setProgress", args, 3, nullptr);
}

}  // namespace Kestrilon::UI
