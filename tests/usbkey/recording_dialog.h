#pragma once
// A stand-in for the window at the host interface: records every page call as the page would see it,
// e.g. setKeyInfo(0,"selected",true), and answers getKeyInfo from a table.
#include <map>
#include <string>
#include <vector>

#include "ui/host/host.h"

namespace Kestrilon::Testing {

class RecordingDialog : public UI::IBSDialog {
 public:
  RecordingDialog() { UI::SetApplicationDialog(this); }
  ~RecordingDialog() override { UI::SetApplicationDialog(nullptr); }

  UI::WindowHandle GetWindowHandle() override { return 0; }
  int32_t ResizeToContent(int32_t, int32_t) override { return 0; }
  UI::HRESULT CallScriptFunction(std::u16string_view name, const UI::ScriptValue* args, uint32_t count,
                                 UI::ScriptValue* result) override;
  UI::HRESULT SetScriptVariable(std::u16string_view, const UI::ScriptValue&) override { return 0; }
  UI::HRESULT GetScriptVariable(std::u16string_view, UI::ScriptValue&) override { return 0; }
  UI::HRESULT ExecScript(std::u16string_view) override { return 0; }

  // getKeyInfo(index, "cspname") answers.
  std::map<uint32_t, UI::ScriptValue> cspNames;
  std::vector<std::string> calls;
};

}  // namespace Kestrilon::Testing
