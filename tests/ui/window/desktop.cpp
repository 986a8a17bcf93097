#include "ui/window/desktop.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace Kestrilon::Testing {

using nlohmann::json;

bool ChildProcess::Start(const std::vector<std::string>& argv, int keepFd, const std::string& stderrFile) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    if (!stderrFile.empty()) {
      int err = open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, 2);
    } else {
      dup2(devnull, 2);
    }
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != keepFd) close(fd);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  pid_ = pid;
  return true;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return status;
    }
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  if (!Wait(std::chrono::milliseconds(3000))) {
    kill(-pid_, SIGKILL);
    Wait(std::chrono::milliseconds(3000));
  }
  pid_ = -1;
}

std::vector<pid_t> ProcessesOf(const std::string& path) {
  std::vector<pid_t> pids;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
    if (linkError || exe.string() != path) continue;
    // A zombie still has no exe link; one that has one is alive.
    pids.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return pids;
}

bool IsAlive(pid_t pid) {
  std::error_code ec;
  std::string stat;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return false;
  char buffer[512] = {0};
  size_t n = fread(buffer, 1, sizeof buffer - 1, f);
  fclose(f);
  stat.assign(buffer, n);
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

void KillProcesses(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) {
    waitpid(pid, nullptr, WNOHANG);
    WaitFor([pid] { return !IsAlive(pid); }, std::chrono::milliseconds(3000));
  }
}

bool Xvfb::Start() {
  int fds[2];
  if (pipe(fds) != 0) return false;
  if (!process_.Start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen", "0", "1280x1024x24"},
                      fds[1])) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  close(fds[1]);
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) return false;
  display_ = ":" + number;
  setenv("DISPLAY", display_.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  return true;
}

namespace {

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct HeaderDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

bool WebDriver::Start() {
  port_ = FreePort();
  if (!process_.Start({"WebKitWebDriver", "--port=" + std::to_string(port_)})) return false;
  return WaitFor([this] { return Request("GET", "/status").contains("value"); }, std::chrono::seconds(10));
}

json WebDriver::Request(const std::string& method, const std::string& path, const json& body) {
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  std::string url = "http://127.0.0.1:" + std::to_string(port_) + path;
  std::string answer;
  std::string payload = body.is_null() ? std::string() : body.dump();
  std::unique_ptr<curl_slist, HeaderDeleter> headers(curl_slist_append(nullptr, "Content-Type: application/json"));
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
  if (method == "POST") curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, payload.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 60L);
  if (curl_easy_perform(curl.get()) != CURLE_OK) return json();
  return json::parse(answer, nullptr, false);
}

std::string WebDriver::NewSession(const std::string& binary, const std::vector<std::string>& args, std::string* error) {
  json capabilities = {{"capabilities",
                        {{"alwaysMatch", {{"webkitgtk:browserOptions", {{"binary", binary}, {"args", args}}}}}}}};
  json answer = Request("POST", "/session", capabilities);
  if (answer.contains("value") && answer["value"].contains("sessionId")) return answer["value"]["sessionId"];
  if (error) *error = answer.dump();
  return {};
}

void WebDriverSession::End() {
  if (id_.empty()) return;
  driver_.Request("DELETE", "/session/" + id_);
  id_.clear();
}

json WebDriverSession::Execute(const std::string& script, const json& args) {
  json answer = driver_.Request("POST", "/session/" + id_ + "/execute/sync", {{"script", script}, {"args", args}});
  return answer.contains("value") ? answer["value"] : json{{"error", "no answer"}};
}

json WebDriverSession::ExecuteAsync(const std::string& body) {
  json answer = driver_.Request("POST", "/session/" + id_ + "/execute/async",
                                {{"script", "const done = arguments[arguments.length - 1];\n" + body},
                                 {"args", json::array()}});
  return answer.contains("value") ? answer["value"] : json{{"error", "no answer"}};
}

std::string WebDriverSession::Element(const std::string& css) {
  json answer = driver_.Request("POST", "/session/" + id_ + "/element", {{"using", "css selector"}, {"value", css}});
  if (!answer.contains("value") || !answer["value"].is_object() || answer["value"].empty()) return {};
  return answer["value"].begin().value().is_string() ? answer["value"].begin().value().get<std::string>() : "";
}

json WebDriverSession::Click(const std::string& css) {
  return driver_.Request("POST", "/session/" + id_ + "/element/" + Element(css) + "/click", json::object());
}

json WebDriverSession::Actions(const json& actions) {
  return driver_.Request("POST", "/session/" + id_ + "/actions", {{"actions", actions}});
}

json WebDriverSession::Navigate(const std::string& url) {
  return driver_.Request("POST", "/session/" + id_ + "/url", {{"url", url}});
}

json WebDriverSession::Get(const std::string& path) {
  json answer = driver_.Request("GET", "/session/" + id_ + "/" + path);
  return answer.contains("value") ? answer["value"] : json();
}

}  // namespace Kestrilon::Testing
