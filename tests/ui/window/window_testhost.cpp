// The window host with the test page and a command set made for the tests: what the page's calls do
// on which thread, in which order, and what the page sees of the host's calls into it.
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/text/text.h"
#include "ui/window.h"

namespace {

using namespace Kestrilon::UI;
using Kestrilon::Platform::ToUtf16;
using Kestrilon::Platform::ToUtf8;

std::mutex g_mutex;
std::vector<std::string> g_log;

void Record(std::string entry) {
  std::lock_guard lock(g_mutex);
  g_log.push_back(std::move(entry));
}

std::string JoinedLog() {
  std::lock_guard lock(g_mutex);
  std::string joined;
  for (const auto& entry : g_log) joined += (joined.empty() ? "" : "|") + entry;
  return joined;
}

void TestCommand(ScriptValue& result, IBSDialog* host, const ScriptValue& name, const ScriptValue& a2,
                 const ScriptValue& a3, const ScriptValue& a4, const ScriptValue& a5) {
  const std::string command = ToUtf8(name.AsString());
  if (command == "echo") {
    result = a2;
  } else if (command == "kinds") {
    std::string kinds;
    for (const ScriptValue* v : {&a2, &a3, &a4, &a5}) kinds += std::to_string(v->Kind()) + ",";
    result = ScriptValue::String(ToUtf16(kinds));
  } else if (command == "record") {
    Record(ToUtf8(a2.AsString()));
  } else if (command == "log") {
    result = ScriptValue::String(ToUtf16(JoinedLog()));
  } else if (command == "step") {
    const std::string label = ToUtf8(a2.AsString());
    Record("start:" + label);
    std::this_thread::sleep_for(std::chrono::milliseconds(a3.AsI4()));
    Record("end:" + label);
    result = a2;
  } else if (command == "await") {
    // Waits (at most a3 ms) until the log holds the entry a2, so a test can order two threads.
    const std::string entry = ToUtf8(a2.AsString());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(a3.AsI4());
    while (("|" + JoinedLog() + "|").find("|" + entry + "|") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    result = ScriptValue::String(OnUserInterfaceThread() ? u"ui" : ToUtf16(std::to_string(syscall(SYS_gettid))));
  } else if (command == "thread") {
    result = ScriptValue::String(OnUserInterfaceThread() ? u"ui" : ToUtf16(std::to_string(syscall(SYS_gettid))));
  } else if (command == "pagecalls") {
    // Each call must have run in the page before the next statement here.
    int32_t mismatches = 0;
    for (int32_t i = 0; i < a2.AsI4(); ++i) {
      ScriptValue arg = ScriptValue::I4(i);
      host->CallScriptFunction(u"countUp", &arg, 1, nullptr);
      ScriptValue count;
      if (host->GetScriptVariable(u"count", count) < 0 || count.AsI4() != i + 1) ++mismatches;
    }
    result = ScriptValue::I4(mismatches);
  } else if (command == "blocked") {
    // Called with callc: the page waits for this command, so calls into it are queued or fail.
    ScriptValue arg = ScriptValue::String(u"queued");
    const HRESULT queued = host->CallScriptFunction(u"mark", &arg, 1, nullptr);
    ScriptValue count;
    const HRESULT answered = host->GetScriptVariable(u"count", count);
    result = ScriptValue::String(ToUtf16(std::to_string(queued) + "," + std::to_string(answered)));
  } else if (command == "order") {
    // The platform's order: the first element becomes the page function's last argument.
    ScriptValue args[3] = {ScriptValue::I4(3), ScriptValue::I4(2), ScriptValue::I4(1)};
    ScriptValue answer;
    const HRESULT status = host->CallScriptFunction(u"order3", args, 3, &answer);
    ScriptValue missing;
    const HRESULT absent = host->CallScriptFunction(u"noSuchFunction", nullptr, 0, &missing);
    result = ScriptValue::String(answer.AsString() + u";" + ToUtf16(std::to_string(status) + ";" + std::to_string(absent)));
  } else if (command == "ui_notify") {
    Record("notify:" + ToUtf8(a2.AsString()));
  } else if (command == "message") {
    result = ScriptValue::I4(ShowMessage(a2.AsString(), a3.AsString(), std::u16string(u"caption"), a4.AsI4()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (!InitializeWindowSystem(argc, argv, error)) {
    std::fprintf(stderr, "window_testhost: %s\n", error.c_str());
    return 2;
  }
  SetNewWindowHandler([](const std::u16string& url) { Record("opened:" + ToUtf8(url)); });
  BSDialogParams params;
  params.captioned = 0;
  params.htmlResourceId = 200;
  params.commandCallback = TestCommand;
  params.messageCallback = [](IBSDialog*, uint32_t message, uintptr_t wParam, intptr_t lParam) -> intptr_t {
    Record("message:" + std::to_string(message) + ":" + std::to_string(wParam) + ":" + std::to_string(lParam));
    return 0;
  };
  IBSDialog* dialog = CreateBSDialog(&params);
  if (!dialog) return 3;
  std::atomic<bool> running{true};
  RunMainLoop(running);
  DestroyBSDialog(dialog);
  return 0;
}
