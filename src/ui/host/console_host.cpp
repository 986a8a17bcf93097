#include "ui/host/console_host.h"

#include <poll.h>

#include <algorithm>

#include <cerrno>
#include <vector>

#include "platform/text/text.h"
#include "ui/host/script_json.h"

namespace Kestrilon::UI {
namespace {

using json = nlohmann::ordered_json;
using Platform::ToUtf8;

// An index as the page receives it: any integer kind.
std::optional<uint32_t> IndexOf(const ScriptValue& value) {
  switch (value.Kind()) {
    case VT_I4:
    case VT_INT:
      if (value.AsI4() < 0) return std::nullopt;
      return static_cast<uint32_t>(value.AsI4());
    case VT_UI4: return value.AsUI4();
    default: return std::nullopt;
  }
}

}  // namespace

ConsoleHost::ConsoleHost(ConsoleEventSink sink) : sink_(std::move(sink)) {}

void ConsoleHost::SetKeyList(json keys) {
  std::lock_guard lock(mutex_);
  keys_ = std::move(keys);
}

std::optional<json> ConsoleHost::KeyList() const {
  std::lock_guard lock(mutex_);
  return keys_;
}

HRESULT ConsoleHost::CallScriptFunction(std::u16string_view name, const ScriptValue* args, uint32_t count,
                                        ScriptValue* result) {
  if (result) *result = ScriptValue();
  if (count > 0 && !args) return Platform::E_INVALIDARG;
  // The invocation's list is in reverse: its first element is the function's last argument.
  std::vector<ScriptValue> pageArgs(args, args + count);
  std::reverse(pageArgs.begin(), pageArgs.end());

  std::lock_guard lock(mutex_);
  json encoded = json::array();
  for (const auto& arg : pageArgs) encoded.push_back(EncodeTagged(arg));
  if (sink_) sink_(json{{"page", ToUtf8(name)}, {"args", std::move(encoded)}});

  if (name == u"getKeyInfo") return GetKeyInfo(pageArgs.data(), count, result);
  if (name == u"setKeyInfo") return SetKeyInfo(pageArgs.data(), count);
  return Platform::S_OK;
}

HRESULT ConsoleHost::GetKeyInfo(const ScriptValue* pageArgs, uint32_t count, ScriptValue* result) {
  if (!keys_) return DISP_E_UNKNOWNNAME;
  if (count < 2) return Platform::S_OK;  // undefined
  auto index = IndexOf(pageArgs[0]);
  if (!index || !keys_->is_array() || *index >= keys_->size()) return Platform::S_OK;
  const json& key = (*keys_)[*index];
  const std::string name = ToUtf8(pageArgs[1].AsString());
  if (!key.is_object() || !key.contains(name)) return Platform::S_OK;
  ScriptValue value;
  if (!DecodeTagged(key.at(name), value)) return Platform::E_FAIL;
  if (result) *result = value;
  return Platform::S_OK;
}

HRESULT ConsoleHost::SetKeyInfo(const ScriptValue* pageArgs, uint32_t count) {
  if (!keys_) return Platform::S_OK;
  if (count < 3) return Platform::E_INVALIDARG;
  auto index = IndexOf(pageArgs[0]);
  // key_info[index] must exist, or the page's assignment throws.
  if (!index || !keys_->is_array() || *index >= keys_->size() || !(*keys_)[*index].is_object())
    return Platform::E_FAIL;
  (*keys_)[*index][ToUtf8(pageArgs[1].AsString())] = EncodeTagged(pageArgs[2]);
  return Platform::S_OK;
}

HRESULT ConsoleHost::SetScriptVariable(std::u16string_view name, const ScriptValue& value) {
  std::lock_guard lock(mutex_);
  variables_[std::u16string(name)] = value;
  return Platform::S_OK;
}

HRESULT ConsoleHost::GetScriptVariable(std::u16string_view name, ScriptValue& value) {
  std::lock_guard lock(mutex_);
  auto it = variables_.find(std::u16string(name));
  if (it == variables_.end()) {
    value = ScriptValue();
    return DISP_E_UNKNOWNNAME;
  }
  value = it->second;
  return Platform::S_OK;
}

HRESULT ConsoleHost::ExecScript(std::u16string_view) { return Platform::E_NOTIMPL; }

ConsolePresenter::ConsolePresenter(ConsoleEventSink sink, bool answerYes)
    : sink_(std::move(sink)), answerYes_(answerYes) {}

int32_t ConsolePresenter::Show(const MessageRequest& request) {
  std::lock_guard lock(mutex_);
  if (sink_)
    sink_(json{{"message",
                {{"content", ToUtf8(request.content)},
                 {"instruction", ToUtf8(request.mainInstruction)},
                 {"caption", ToUtf8(request.caption)},
                 {"icon", request.iconKind}}},
               {"answer", IDOK}});
  return IDOK;
}

int32_t ConsolePresenter::Ask(const QuestionRequest& request) {
  std::lock_guard lock(mutex_);
  const int32_t answer = answerYes_ ? IDYES : IDNO;
  if (sink_)
    sink_(json{{"ask",
                {{"content", ToUtf8(request.content)},
                 {"instruction", ToUtf8(request.mainInstruction)},
                 {"caption", ToUtf8(request.caption)},
                 {"choices", {ToUtf8(request.firstChoice), ToUtf8(request.secondChoice)}}}},
               {"answer", answer}});
  return answer;
}

bool PollHostEventSources(int timeoutMs, int extraFd) {
  const auto sources = HostEventSources();
  std::vector<pollfd> fds;
  for (const auto& source : sources) fds.push_back({source.fd, POLLIN, 0});
  if (extraFd >= 0) fds.push_back({extraFd, POLLIN, 0});
  if (fds.empty()) {
    poll(nullptr, 0, timeoutMs);
    return false;
  }
  int ready = poll(fds.data(), fds.size(), timeoutMs);
  if (ready <= 0) return false;
  for (size_t i = 0; i < sources.size(); ++i)
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) DispatchHostEventSource(sources[i].id);
  return extraFd >= 0 && (fds.back().revents & (POLLIN | POLLHUP | POLLERR));
}

}  // namespace Kestrilon::UI
