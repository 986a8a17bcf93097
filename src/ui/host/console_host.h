#pragma once
// The console host: the host without a window (kestrilon-shell, tests).
//
// Every call into the page, every message and every question becomes one JSON event handed to a sink,
// in the order it happened. The page is not there, so its functions do nothing and answer nothing, with
// two exceptions that stand for the page's key list: getKeyInfo(index, name) answers keys[index][name]
// and setKeyInfo(index, name, value) updates it. Without a key list getKeyInfo fails as a missing page
// function does.
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "ui/host/host.h"

namespace Kestrilon::UI {

using ConsoleEventSink = std::function<void(const nlohmann::ordered_json& event)>;

class ConsoleHost final : public IBSDialog {
 public:
  explicit ConsoleHost(ConsoleEventSink sink);

  // An array with one object per key, the values in tagged JSON (script_json.h).
  void SetKeyList(nlohmann::ordered_json keys);
  std::optional<nlohmann::ordered_json> KeyList() const;

  WindowHandle GetWindowHandle() override { return 0; }
  int32_t ResizeToContent(int32_t, int32_t) override { return 0; }
  // Emits {"page": name, "args": [...]} with the arguments in the page's order.
  HRESULT CallScriptFunction(std::u16string_view name, const ScriptValue* args, uint32_t count,
                             ScriptValue* result) override;
  HRESULT SetScriptVariable(std::u16string_view name, const ScriptValue& value) override;
  HRESULT GetScriptVariable(std::u16string_view name, ScriptValue& value) override;
  // There is no script engine: E_NOTIMPL.
  HRESULT ExecScript(std::u16string_view script) override;

 private:
  HRESULT GetKeyInfo(const ScriptValue* pageArgs, uint32_t count, ScriptValue* result);
  HRESULT SetKeyInfo(const ScriptValue* pageArgs, uint32_t count);

  mutable std::mutex mutex_;
  ConsoleEventSink sink_;
  std::optional<nlohmann::ordered_json> keys_;
  std::map<std::u16string, ScriptValue> variables_;
};

// Shows messages and questions as events: {"message": {"content", "instruction", "caption", "icon"},
// "answer": 1} and {"ask": {"content", "instruction", "caption", "choices": [first, second]},
// "answer": 6 or 7}; questions get the answer chosen at construction.
class ConsolePresenter final : public IMessagePresenter {
 public:
  ConsolePresenter(ConsoleEventSink sink, bool answerYes);
  int32_t Show(const MessageRequest& request) override;
  int32_t Ask(const QuestionRequest& request) override;

 private:
  std::mutex mutex_;
  ConsoleEventSink sink_;
  bool answerYes_;
};

// Waits up to `timeoutMs` for the host's event sources (and `extraFd`, when not -1) and runs the
// callbacks of the ready sources. True when `extraFd` is readable (or at its end).
bool PollHostEventSources(int timeoutMs, int extraFd = -1);

}  // namespace Kestrilon::UI
