// A test host of the real page: the program's window showing resource 200, whose command callback
// answers the commands named in a script and hands every other command to the real OnScriptCommand.
// It stands in at our own interface (the command callback) for the commands whose work is not part
// of what a page test looks at, so that every answer shape can be put before the page.
//
//   scripted-page-host --script FILE [--journal FILE] [--args WORD] [--automation]
//
// The script is a JSON object:
//   "answers": { KEY: ANSWER or [ANSWER, ...] }   a list answers one call each, its last one repeating
//   "calls":   { KEY: [[FUNCTION, ARG, ...], ...] } page functions called before the command answers
//   "sleep_ms": { KEY: N }                          a pause after those calls, before the answer
// KEY is the command name followed by a blank and its first argument ("do_check registry",
// "do_install 0"), or the name alone. ANSWER: a string, an integer, a boolean or null (the empty
// value). The journal gets one JSON line per command the page sent: {"name":…, "a2":…, "a3":…}.
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/commands.h"
#include "platform/machine/machine_image.h"
#include "platform/text/text.h"
#include "ui/host/host.h"
#include "ui/window.h"

namespace {

using Kestrilon::UI::IBSDialog;
using Kestrilon::UI::ScriptValue;
using nlohmann::json;

json ToJson(const ScriptValue& v) {
  using namespace Kestrilon::UI;
  switch (v.Kind()) {
    case VT_BSTR: return Kestrilon::Platform::ToUtf8(v.AsString());
    case VT_I4:
    case VT_INT: return v.AsI4();
    case VT_UI4: return v.AsUI4();
    case VT_R8: return v.AsR8();
    case VT_BOOL: return v.AsBool();
    case VT_DISPATCH: return "<function>";
    default: return nullptr;
  }
}

ScriptValue FromJson(const json& j) {
  if (j.is_string()) return ScriptValue::String(Kestrilon::Platform::ToUtf16(j.get<std::string>()));
  if (j.is_boolean()) return ScriptValue::Bool(j.get<bool>());
  if (j.is_number_integer()) return ScriptValue::I4(j.get<int32_t>());
  if (j.is_number()) return ScriptValue::R8(j.get<double>());
  return ScriptValue();
}

class ScriptedCommands {
 public:
  ScriptedCommands(json script, std::string journalPath)
      : script_(std::move(script)), journalPath_(std::move(journalPath)) {}

  // Runs on the user-interface thread (callc) or on the worker (asyncallc); page calls made here are
  // carried to the page by the host.
  void operator()(ScriptValue& result, IBSDialog* host, const ScriptValue& name, const ScriptValue& a2,
                  const ScriptValue& a3, const ScriptValue& a4, const ScriptValue& a5) {
    const json nameJson = ToJson(name);
    const json a2Json = ToJson(a2);
    Journal(nameJson, a2Json, ToJson(a3));
    if (!nameJson.is_string()) return Kestrilon::App::OnScriptCommand(result, host, name, a2, a3, a4, a5);

    std::string key = nameJson.get<std::string>();
    if (a2Json.is_string()) key += " " + a2Json.get<std::string>();
    else if (a2Json.is_boolean()) key += a2Json.get<bool>() ? " true" : " false";
    else if (a2Json.is_number()) key += " " + a2Json.dump();
    const std::string bare = nameJson.get<std::string>();

    // The script is only read once the host runs: the user-interface thread and the worker share it.
    const json& script = script_;
    bool scripted = false;
    for (const std::string& k : {key, bare}) {
      if (script["calls"].contains(k)) {
        for (const json& call : script["calls"][k]) CallPage(host, call);
        scripted = true;
      }
      if (script["sleep_ms"].contains(k)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(script["sleep_ms"][k].get<int>()));
        scripted = true;
      }
      if (script["answers"].contains(k)) {
        result = NextAnswer(k);
        return;
      }
      if (scripted) return;
    }
    Kestrilon::App::OnScriptCommand(result, host, name, a2, a3, a4, a5);
  }

 private:
  ScriptValue NextAnswer(const std::string& key) {
    std::lock_guard lock(mutex_);
    const json& script = script_;
    const json& answer = script["answers"][key];
    if (!answer.is_array()) return FromJson(answer);
    if (answer.empty()) return ScriptValue();
    size_t& used = answersUsed_[key];
    const json& chosen = answer[std::min(used, answer.size() - 1)];
    ++used;
    return FromJson(chosen);
  }

  static void CallPage(IBSDialog* host, const json& call) {
    if (!call.is_array() || call.empty() || !call[0].is_string()) return;
    // The host's list holds the arguments in reverse: its first element is the function's last argument.
    std::vector<ScriptValue> args;
    for (size_t i = call.size() - 1; i >= 1; --i) args.push_back(FromJson(call[i]));
    const std::u16string function = Kestrilon::Platform::ToUtf16(call[0].get<std::string>());
    Kestrilon::UI::IBSDialog* dialog = Kestrilon::UI::ApplicationDialog() ? Kestrilon::UI::ApplicationDialog() : host;
    dialog->CallScriptFunction(function, args.data(), static_cast<uint32_t>(args.size()), nullptr);
  }

  void Journal(const json& name, const json& a2, const json& a3) {
    if (journalPath_.empty()) return;
    std::lock_guard lock(mutex_);
    std::ofstream out(journalPath_, std::ios::app);
    out << json{{"name", name}, {"a2", a2}, {"a3", a3}}.dump() << "\n";
  }

  json script_;
  std::string journalPath_;
  std::mutex mutex_;
  std::map<std::string, size_t> answersUsed_;
};

int UsageError(const std::string& text) {
  std::fprintf(stderr, "scripted-page-host: %s\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (!Kestrilon::UI::InitializeWindowSystem(argc, argv, error)) return UsageError(error);

  std::string scriptPath, journalPath;
  std::vector<std::u16string> startup = {Kestrilon::Platform::ToUtf16(argv[0])};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return UsageError(option + " needs a value");
    const std::string value = argv[++i];
    if (option == "--script") scriptPath = value;
    else if (option == "--journal") journalPath = value;
    else if (option == "--args") startup.push_back(Kestrilon::Platform::ToUtf16(value));
    else return UsageError("unknown option " + option);
  }
  json script = json::object();
  if (!scriptPath.empty()) {
    std::ifstream in(scriptPath);
    script = json::parse(in, nullptr, false);
    if (script.is_discarded() || !script.is_object()) return UsageError(scriptPath + " is not a JSON object");
  }
  if (!script.contains("answers")) script["answers"] = json::object();
  if (!script.contains("calls")) script["calls"] = json::object();
  if (!script.contains("sleep_ms")) script["sleep_ms"] = json::object();
  Kestrilon::App::SetStartupArguments(std::move(startup));

  std::atomic<bool> running{true};
  Kestrilon::App::SetLifetimeHooks({[] { Kestrilon::UI::PostQuitMessage(); }, [] { Kestrilon::UI::PostQuitMessage(); }});

  Kestrilon::UI::BSDialogParams params;
  params.captioned = 0;
  params.htmlResourceId = 200;
  auto commands = std::make_shared<ScriptedCommands>(std::move(script), journalPath);
  params.commandCallback = [commands](ScriptValue& result, IBSDialog* host, const ScriptValue& name,
                                      const ScriptValue& a2, const ScriptValue& a3, const ScriptValue& a4,
                                      const ScriptValue& a5) { (*commands)(result, host, name, a2, a3, a4, a5); };
  Kestrilon::UI::IBSDialog* dialog = Kestrilon::UI::CreateBSDialog(&params);
  if (!dialog) return UsageError("the dialog could not be created");
  Kestrilon::UI::SetApplicationDialog(dialog);
  Kestrilon::UI::RunMainLoop(running);
  Kestrilon::UI::SetApplicationDialog(nullptr);
  Kestrilon::UI::DestroyBSDialog(dialog);
  return 0;
}
