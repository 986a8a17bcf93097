#pragma once
// The signed-in user's browser proxy settings, as the machine image's registry holds them, and the
// choice of a proxy for one URL. Private to net/.
#include <optional>
#include <string>
#include <string_view>

namespace Kestrilon::Network {

struct ProxySettings {
  std::string proxyServer;    // "host:port" or "http=host:port;https=host:port"; empty when none is enabled
  std::string bypassList;     // ProxyOverride: "*.example.test;10.*;<local>"
  std::string autoConfigUrl;  // a proxy auto-configuration script, empty when none
};

// HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings: ProxyEnable, ProxyServer,
// ProxyOverride, AutoConfigURL.
ProxySettings ReadUserProxySettings();

// The proxy of the named-proxy settings for a URL, as libcurl takes it ("http://host:port"), or
// empty for a direct request (no proxy for that scheme, or the host is on the bypass list).
std::string NamedProxyFor(const ProxySettings& settings, std::string_view url);

// The proxy a proxy auto-configuration script chooses for the URL ("" for DIRECT); nullopt when
// the script cannot be evaluated here.
std::optional<std::string> AutoConfigProxyFor(const std::string& autoConfigUrl, const std::string& url);

// The parts of an http(s) URL that proxy decisions need.
struct UrlParts {
  std::string scheme;  // lower case
  std::string host;
  uint16_t port = 0;
  std::string path;    // from the first "/" up to "?" or "#"; empty when there is none
  std::string extra;   // "?query#fragment"
  bool valid = false;
};
UrlParts CrackUrl(std::string_view url);

}  // namespace Kestrilon::Network
