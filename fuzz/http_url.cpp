// URL splitting and proxy choice over arbitrary text: lines are a proxy server list, a bypass list and
// a URL. Every answer must keep the shapes the request code relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/http.h"
#include "net/proxy_settings.h"
#include "platform/text/text.h"

using namespace Kestrilon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view lines[3];
  for (std::string_view& line : lines) {
    size_t end = input.find('\n');
    line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  std::string_view url = lines[2].empty() ? lines[0] : lines[2];

  Network::WebRequest request;
  if (Network::SetRequestUrl(request, Platform::ToUtf16(url))) {
    if (request.path.empty() || request.path.front() != u'/') __builtin_trap();
    if (request.host.find(u'/') != std::u16string::npos) __builtin_trap();
  } else if (!request.host.empty() || !request.path.empty() || request.port != 0) {
    __builtin_trap();
  }

  Network::UrlParts parts = Network::CrackUrl(url);
  if (parts.valid) {
    if (parts.host.empty() || (!parts.path.empty() && parts.path.front() != '/')) __builtin_trap();
    if (parts.path.find_first_of("?#") != std::string::npos) __builtin_trap();
  }

  Network::ProxySettings settings;
  settings.proxyServer = std::string(lines[0]);
  settings.bypassList = std::string(lines[1]);
  std::string proxy = Network::NamedProxyFor(settings, url);
  if (!proxy.empty() && proxy.rfind("http://", 0) != 0) __builtin_trap();
  return 0;
}
