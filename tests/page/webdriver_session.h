#pragma once
// Drives a program's page as a user would, through WebKitWebDriver, on a virtual X display.
//
//   VirtualDisplay display;                                   // Xvfb; DISPLAY set for what starts next
//   WebDriverSession page(binary, {"--script", path});        // starts the program under automation
//   page.Click("id_do_check_all");
//   page.WaitForText("check_text", "检测完毕！");
//   page.Text("ie") == "IE9";  page.HasClass("jiance1", "checkOpen");
//
// Every wait has a deadline; a wait that runs out fails the test with what the element showed.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/types.h>

namespace Kestrilon::Testing {

// A child process, ended (SIGTERM, then SIGKILL) when the owner goes.
class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts argv[0] (searched in PATH) with its output appended to outputFile; keepFd stays open in it.
  ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile = "/dev/null", int keepFd = -1);
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t Pid() const { return pid_; }
  bool Running();
  void Stop();

 private:
  pid_t pid_ = -1;
};

// An Xvfb server for the test's windows; DISPLAY points at it while it lives.
class VirtualDisplay {
 public:
  VirtualDisplay();
  ~VirtualDisplay();
  const std::string& Name() const { return name_; }

 private:
  ChildProcess server_;
  std::string name_;
  std::string previous_;
  bool hadPrevious_ = false;
};

class WebDriverSession {
 public:
  // Starts WebKitWebDriver and, through it, `binary` with `args` (and --automation). The environment
  // of the test process at this moment is the program's.
  WebDriverSession(const std::string& binary, const std::vector<std::string>& args);
  ~WebDriverSession();
  WebDriverSession(const WebDriverSession&) = delete;
  WebDriverSession& operator=(const WebDriverSession&) = delete;

  bool Started() const { return !sessionId_.empty(); }
  const std::string& StartError() const { return startError_; }

  // Runs script text in the page (the body of a function; `arguments` are its arguments).
  nlohmann::json Execute(const std::string& script, const nlohmann::json& arguments = nlohmann::json::array());

  // Elements by id. Text is the rendered text as a user reads it.
  bool Exists(const std::string& id);
  std::string Text(const std::string& id);
  std::string Attribute(const std::string& id, const std::string& name);
  std::string Css(const std::string& id, const std::string& property);
  bool HasClass(const std::string& id, const std::string& className);
  bool Displayed(const std::string& id);
  void Click(const std::string& id);
  // The first element matching a CSS selector, clicked.
  void ClickSelector(const std::string& selector);

  // Polls until `condition` holds; false when the deadline passes.
  bool WaitUntil(const std::function<bool()>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits until the element shows `text`; false (the test then reports the last text) on timeout.
  bool WaitForText(const std::string& id, const std::string& text,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  nlohmann::json Request(const std::string& method, const std::string& path, const nlohmann::json& body);
  std::string ElementRef(const std::string& selector);

  ChildProcess driver_;
  int port_ = 0;
  std::string sessionId_;
  std::string startError_;
};

}  // namespace Kestrilon::Testing
