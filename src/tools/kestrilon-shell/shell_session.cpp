#include "tools/kestrilon-shell/shell_session.h"

#include "app/commands.h"
#include "ui/host/script_json.h"

namespace Kestrilon::Tools {
namespace {

using json = nlohmann::ordered_json;
using UI::ScriptValue;

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

ShellSession::ShellSession(ShellOptions options)
    : host_([this](const json& event) { Emit(event); }),
      presenter_([this](const json& event) { Emit(event); }, options.answerYes) {
  if (options.keys) host_.SetKeyList(std::move(*options.keys));
  UI::SetApplicationDialog(&host_);
  UI::SetMessagePresenter(&presenter_);
  App::SetLifetimeHooks({
      [this] {
        Emit({{"quit", true}});
        ended_ = true;
      },
      [this] {
        Emit({{"restart", true}});
        ended_ = true;
      },
  });
}

ShellSession::~ShellSession() {
  App::SetLifetimeHooks({});
  UI::SetMessagePresenter(nullptr);
  UI::SetApplicationDialog(nullptr);
}

bool ShellSession::ParseCommandLine(std::string_view line, ScriptValue (&values)[5], std::string& error) {
  json input = json::parse(line.begin(), line.end(), nullptr, false);
  if (input.is_discarded()) {
    error = "the line is not JSON";
    return false;
  }
  if (!input.is_array() || input.empty() || input.size() > 5) {
    error = "a command is a JSON array [name, a2, a3, a4, a5] of one to five values";
    return false;
  }
  for (size_t i = 0; i < 5; ++i) {
    values[i] = ScriptValue();
    if (i >= input.size()) continue;
    std::string reason;
    if (!UI::DecodeTagged(input[i], values[i], &reason)) {
      error = "value " + std::to_string(i + 1) + ": " + reason;
      return false;
    }
  }
  return true;
}

std::vector<std::string> ShellSession::HandleLine(std::string_view line) {
  std::vector<std::string> output;
  if (IsBlank(line) || ended_) return output;
  ScriptValue values[5];
  std::string error;
  if (!ParseCommandLine(line, values, error)) {
    output.push_back(UI::DumpJsonLine({{"error", error}}));
    return output;
  }
  events_.clear();
  ScriptValue result;
  App::OnScriptCommand(result, &host_, values[0], values[1], values[2], values[3], values[4]);
  for (const auto& event : events_) output.push_back(UI::DumpJsonLine(event));
  events_.clear();
  output.push_back(UI::DumpJsonLine({{"result", UI::EncodeValue(result)}, {"kind", UI::KindName(result.Kind())}}));
  return output;
}

}  // namespace Kestrilon::Tools
