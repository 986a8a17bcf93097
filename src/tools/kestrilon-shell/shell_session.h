#pragma once
// One kestrilon-shell session: the command bridge behind the console host, one JSON line at a time.
//
// Each input line is a JSON array [name, a2, a3, a4, a5] (missing trailing values are VT_EMPTY, values
// in tagged JSON, ui/host/script_json.h). Its output is one line per event (page calls, messages,
// questions, quit, restart) in the order they happened, then one {"result": VALUE, "kind": "VT_..."}
// line; a line that is no such array gets one {"error": "..."} line instead.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "ui/host/console_host.h"

namespace Kestrilon::Tools {

struct ShellOptions {
  bool answerYes = false;              // how questions are answered
  std::optional<nlohmann::ordered_json> keys;  // the page's key list, if any
};

// Installs itself as the application's dialog, the message presenter and the lifetime hooks for as
// long as it lives; one session at a time.
class ShellSession {
 public:
  explicit ShellSession(ShellOptions options);
  ~ShellSession();
  ShellSession(const ShellSession&) = delete;
  ShellSession& operator=(const ShellSession&) = delete;

  // The output lines for one input line; none for a blank line.
  std::vector<std::string> HandleLine(std::string_view line);
  // A command ended or restarted the program: the session takes no more lines.
  bool Ended() const { return ended_; }

  // Parses one input line into the command's five values; false with a reason when it is no command.
  static bool ParseCommandLine(std::string_view line, UI::ScriptValue (&values)[5], std::string& error);

 private:
  void Emit(const nlohmann::ordered_json& event) { events_.push_back(event); }

  std::vector<nlohmann::ordered_json> events_;
  UI::ConsoleHost host_;
  UI::ConsolePresenter presenter_;
  bool ended_ = false;
};

}  // namespace Kestrilon::Tools
