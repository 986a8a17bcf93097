#include "page/webdriver_session.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <httplib.h>

namespace Kestrilon::Testing {

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr const char* kElementKey = "element-6066-11e4-a52e-4f735466cecf";

pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputFile, int keepFd = -1) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    // Its own process group, so that ending it also ends what it started.
    ::setpgid(0, 0);
    int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != keepFd) ::close(fd);
    }
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

std::string LogFile(const std::string& name) {
  const char* dir = std::getenv("KESTRILON_BINARY_DIR");
  return std::string(dir ? dir : "/tmp") + "/Testing/" + name;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile, int keepFd)
    : pid_(Spawn(argv, outputFile, keepFd)) {}

ChildProcess::~ChildProcess() { Stop(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    pid_ = other.pid_;
    other.pid_ = -1;
  }
  return *this;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

VirtualDisplay::VirtualDisplay() {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  // The server reports its display number on the pipe's write end, which it keeps open.
  server_ = ChildProcess({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1920x1200x24",
                          "-nolisten", "tcp"},
                         LogFile("xvfb.log"), fds[1]);
  ::close(fds[1]);
  std::string number;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(fds[0]);
  if (number.empty()) throw std::runtime_error("Xvfb did not report a display");
  name_ = ":" + number;
  if (const char* previous = std::getenv("DISPLAY")) {
    previous_ = previous;
    hadPrevious_ = true;
  }
  ::setenv("DISPLAY", name_.c_str(), 1);
  ::unsetenv("WAYLAND_DISPLAY");
}

VirtualDisplay::~VirtualDisplay() {
  server_.Stop();
  if (hadPrevious_) ::setenv("DISPLAY", previous_.c_str(), 1);
  else ::unsetenv("DISPLAY");
}

WebDriverSession::WebDriverSession(const std::string& binary, const std::vector<std::string>& args) {
  port_ = FreeLoopbackPort();
  driver_ = ChildProcess({"WebKitWebDriver", "--port=" + std::to_string(port_)}, LogFile("webdriver.log"));
  httplib::Client status("127.0.0.1", port_);
  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    if (auto response = status.Get("/status")) up = response->status == 200;
    if (!up) std::this_thread::sleep_for(25ms);
  }
  if (!up) {
    startError_ = "WebKitWebDriver did not answer";
    return;
  }
  json browserArgs = json::array({"--automation"});
  for (const std::string& a : args) browserArgs.push_back(a);
  json capabilities = {{"capabilities",
                        {{"alwaysMatch",
                          {{"webkitgtk:browserOptions", {{"binary", binary}, {"args", browserArgs}}}}}}}};
  json answer = Request("POST", "/session", capabilities);
  if (answer.contains("value") && answer["value"].contains("sessionId")) {
    sessionId_ = answer["value"]["sessionId"].get<std::string>();
  } else {
    startError_ = "no session: " + answer.dump();
  }
}

WebDriverSession::~WebDriverSession() {
  if (!sessionId_.empty()) Request("DELETE", "/session/" + sessionId_, nullptr);
  driver_.Stop();
}

json WebDriverSession::Request(const std::string& method, const std::string& path, const json& body) {
  httplib::Client client("127.0.0.1", port_);
  client.set_read_timeout(60, 0);
  client.set_write_timeout(10, 0);
  httplib::Result result = method == "GET"      ? client.Get(path)
                           : method == "DELETE" ? client.Delete(path)
                                                : client.Post(path, body.is_null() ? "{}" : body.dump(), "application/json");
  if (!result) return json{{"value", {{"error", "no answer from WebKitWebDriver"}}}};
  json parsed = json::parse(result->body, nullptr, false);
  if (parsed.is_discarded()) return json{{"value", {{"error", result->body}}}};
  return parsed;
}

json WebDriverSession::Execute(const std::string& script, const json& arguments) {
  json answer = Request("POST", "/session/" + sessionId_ + "/execute/sync",
                        json{{"script", script}, {"args", arguments}});
  return answer.contains("value") ? answer["value"] : json();
}

std::string WebDriverSession::ElementRef(const std::string& selector) {
  json answer = Request("POST", "/session/" + sessionId_ + "/element",
                        json{{"using", "css selector"}, {"value", selector}});
  if (answer.contains("value") && answer["value"].is_object() && answer["value"].contains(kElementKey)) {
    return answer["value"][kElementKey].get<std::string>();
  }
  return {};
}

bool WebDriverSession::Exists(const std::string& id) { return !ElementRef("#" + id).empty(); }

static std::string AsText(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return {};
  return value.dump();
}

std::string WebDriverSession::Text(const std::string& id) {
  std::string ref = ElementRef("#" + id);
  if (ref.empty()) return "<no element " + id + ">";
  return AsText(Request("GET", "/session/" + sessionId_ + "/element/" + ref + "/text", nullptr)["value"]);
}

std::string WebDriverSession::Attribute(const std::string& id, const std::string& name) {
  std::string ref = ElementRef("#" + id);
  if (ref.empty()) return "<no element " + id + ">";
  return AsText(Request("GET", "/session/" + sessionId_ + "/element/" + ref + "/attribute/" + name, nullptr)["value"]);
}

std::string WebDriverSession::Css(const std::string& id, const std::string& property) {
  std::string ref = ElementRef("#" + id);
  if (ref.empty()) return "<no element " + id + ">";
  return AsText(Request("GET", "/session/" + sessionId_ + "/element/" + ref + "/css/" + property, nullptr)["value"]);
}

bool WebDriverSession::HasClass(const std::string& id, const std::string& className) {
  std::string classes = " " + Attribute(id, "class") + " ";
  return classes.find(" " + className + " ") != std::string::npos;
}

bool WebDriverSession::Displayed(const std::string& id) {
  std::string ref = ElementRef("#" + id);
  if (ref.empty()) return false;
  json value = Request("GET", "/session/" + sessionId_ + "/element/" + ref + "/displayed", nullptr)["value"];
  return value.is_boolean() && value.get<bool>();
}

void WebDriverSession::Click(const std::string& id) { ClickSelector("#" + id); }

void WebDriverSession::ClickSelector(const std::string& selector) {
  std::string ref = ElementRef(selector);
  if (ref.empty()) return;
  Request("POST", "/session/" + sessionId_ + "/element/" + ref + "/click", json::object());
}

bool WebDriverSession::WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

bool WebDriverSession::WaitForText(const std::string& id, const std::string& text, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return Text(id) == text; }, timeout);
}

}  // namespace Kestrilon::Testing
