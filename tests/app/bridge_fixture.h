#pragma once
// A throw-away machine image with the console host as the application's dialog and message presenter.
#include <gtest/gtest.h>

#include <vector>

#include "app/commands.h"
#include "platform/machine/machine_image.h"
#include "support/temp_dir.h"
#include "ui/host/console_host.h"

namespace Kestrilon::App {

using json = nlohmann::ordered_json;
using UI::ScriptValue;

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform::MachineImage::UseDirectory(machine.Path() / "image");
    UI::SetApplicationDialog(&host);
    UI::SetMessagePresenter(&presenter);
  }
  void TearDown() override {
    UI::SetMessagePresenter(nullptr);
    UI::SetApplicationDialog(nullptr);
  }

  // callc: the name and up to four arguments, missing ones empty.
  ScriptValue Call(const ScriptValue& name, const ScriptValue& a2 = {}, const ScriptValue& a3 = {},
                   const ScriptValue& a4 = {}, const ScriptValue& a5 = {}) {
    ScriptValue result = ScriptValue::I4(12345);  // the handler must reset it
    OnScriptCommand(result, &host, name, a2, a3, a4, a5);
    return result;
  }
  ScriptValue Call(const char16_t* name, const ScriptValue& a2 = {}, const ScriptValue& a3 = {},
                   const ScriptValue& a4 = {}, const ScriptValue& a5 = {}) {
    return Call(ScriptValue::String(name), a2, a3, a4, a5);
  }

  Testing::TempDir machine;
  std::vector<json> events;
  UI::ConsoleHost host{[this](const json& e) { events.push_back(e); }};
  UI::ConsolePresenter presenter{[this](const json& e) { events.push_back(e); }, false};
};

}  // namespace Kestrilon::App
