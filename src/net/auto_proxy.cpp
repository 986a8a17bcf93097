// Proxy auto-configuration scripts, evaluated by libproxy.
//
// libproxy takes its configuration from its configuration modules, not from its caller; its
// environment module reads "pac+<script URL>" from http_proxy/https_proxy. So the script URL is put
// there, for this evaluation only, with libproxy told to consult that module alone. The environment
// is restored before returning; evaluations are serialised.
#include <proxy.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "net/proxy_settings.h"

namespace Kestrilon::Network {
namespace {

// Sets an environment variable for one scope and puts back what was there.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

// "PROXY host:port" style answers come back from libproxy as "http://host:port"; "direct://" is none.
std::optional<std::string> FirstUsableProxy(char** proxies) {
  if (!proxies) return std::nullopt;
  std::optional<std::string> chosen;
  for (char** entry = proxies; *entry && !chosen; ++entry) {
    std::string proxy = *entry;
    if (proxy == "direct://") {
      chosen = std::string();
    } else if (proxy.rfind("http://", 0) == 0 || proxy.rfind("socks5://", 0) == 0 ||
               proxy.rfind("socks4://", 0) == 0 || proxy.rfind("socks://", 0) == 0) {
      chosen = proxy;
    }
  }
  px_proxy_factory_free_proxies(proxies);
  return chosen;
}

}  // namespace

std::optional<std::string> AutoConfigProxyFor(const std::string& autoConfigUrl, const std::string& url) {
  if (autoConfigUrl.empty()) return std::nullopt;
  static std::mutex serialised;
  std::lock_guard guard(serialised);
  ScopedEnvironment order("PX_CONFIG_ORDER", "config_envvar");
  ScopedEnvironment http("http_proxy", "pac+" + autoConfigUrl);
  ScopedEnvironment https("https_proxy", "pac+" + autoConfigUrl);
  // One factory for the process, never freed: its script engine cannot be brought up again once torn
  // down, and tearing it down at exit races the engine's own threads.
  static pxProxyFactory* factory = px_proxy_factory_new();
  if (!factory) return std::nullopt;
  return FirstUsableProxy(px_proxy_factory_get_proxies(factory, url.c_str()));
}

}  // namespace Kestrilon::Network
