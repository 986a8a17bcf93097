#pragma once
// A throw-away desktop for the window tests: Xvfb on a free display, WebKitWebDriver on a free port and
// a small W3C WebDriver client. Every process started here is ended by its owner's destructor.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace Kestrilon::Testing {

// A child process in a process group of its own; the destructor ends the whole group.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Stop(); }
  // Starts `argv` with the current environment; `keepFd` stays open in the child. False on failure.
  bool Start(const std::vector<std::string>& argv, int keepFd = -1, const std::string& stderrFile = {});
  // Waits up to `timeout` for the process to end; its exit status (as waitpid gives it), or none.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  void Stop();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The processes whose program file is `path` (read from /proc).
std::vector<pid_t> ProcessesOf(const std::string& path);
// Ends them (SIGKILL) and waits until they are gone.
void KillProcesses(const std::vector<pid_t>& pids);
bool IsAlive(pid_t pid);

class Xvfb {
 public:
  // Starts Xvfb on a free display and points DISPLAY at it. False when Xvfb is missing.
  bool Start();
  const std::string& Display() const { return display_; }
  void Stop() { process_.Stop(); }

 private:
  ChildProcess process_;
  std::string display_;
};

class WebDriverSession;

class WebDriver {
 public:
  bool Start();  // WebKitWebDriver on a free port, answering /status
  // A new session with the browser `binary` started with `args`; empty on failure (`error` says why).
  std::string NewSession(const std::string& binary, const std::vector<std::string>& args, std::string* error = nullptr);
  nlohmann::json Request(const std::string& method, const std::string& path, const nlohmann::json& body = nullptr);
  void Stop() { process_.Stop(); }

 private:
  ChildProcess process_;
  int port_ = 0;
};

// One session: the program under test, driven through its dialog's view. The destructor ends it.
class WebDriverSession {
 public:
  WebDriverSession(WebDriver& driver, std::string id) : driver_(driver), id_(std::move(id)) {}
  WebDriverSession(const WebDriverSession&) = delete;
  WebDriverSession& operator=(const WebDriverSession&) = delete;
  ~WebDriverSession() { End(); }
  bool Valid() const { return !id_.empty(); }
  void End();

  // The script's value; a script error gives {"error": ...}.
  nlohmann::json Execute(const std::string& script, const nlohmann::json& args = nlohmann::json::array());
  // An asynchronous script: it ends by calling `done(value)` (the last argument is aliased as `done`).
  nlohmann::json ExecuteAsync(const std::string& body);
  std::string Element(const std::string& css);
  nlohmann::json Click(const std::string& css);
  nlohmann::json Actions(const nlohmann::json& actions);
  nlohmann::json Navigate(const std::string& url);
  nlohmann::json Get(const std::string& path);  // /session/{id}/<path>

 private:
  WebDriver& driver_;
  std::string id_;
};

// Waits until `condition` holds or `timeout` passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace Kestrilon::Testing
