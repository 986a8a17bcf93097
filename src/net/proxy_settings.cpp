#include "net/proxy_settings.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace Kestrilon::Network {
namespace {

constexpr std::u16string_view kInternetSettings = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::string_view Trim(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

std::vector<std::string_view> SplitList(std::string_view text) {
  std::vector<std::string_view> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(";", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = Trim(text.substr(start, end - start));
    if (!item.empty()) items.push_back(item);
    start = end + 1;
  }
  return items;
}

// '*' matches any run of characters; letters compare without case.
bool WildcardMatch(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                         std::tolower(static_cast<unsigned char>(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// One ProxyOverride entry: "<local>", or [scheme://]host-pattern[:port].
bool Bypasses(std::string_view entry, const UrlParts& url) {
  if (Platform::EqualsIgnoreCase(entry, "<local>")) return url.host.find('.') == std::string::npos;
  size_t schemeEnd = entry.find("://");
  if (schemeEnd != std::string_view::npos) {
    if (!Platform::EqualsIgnoreCase(entry.substr(0, schemeEnd), url.scheme)) return false;
    entry.remove_prefix(schemeEnd + 3);
  }
  size_t colon = entry.rfind(':');
  if (colon != std::string_view::npos && entry.find(']') == std::string_view::npos) {
    std::string_view port = entry.substr(colon + 1);
    entry = entry.substr(0, colon);
    if (port != "*" && port != std::to_string(url.port)) return false;
  }
  return WildcardMatch(entry, url.host);
}

std::string ReadString(const Platform::RegistryKey& key, std::u16string_view name) {
  std::u16string value;
  if (key.GetString(name, value) != Platform::ERROR_SUCCESS) return {};
  return Platform::ToUtf8(value);
}

}  // namespace

UrlParts CrackUrl(std::string_view url) {
  UrlParts parts;
  size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return parts;
  parts.scheme = Platform::AsciiLower(url.substr(0, schemeEnd));
  if (parts.scheme != "http" && parts.scheme != "https") return parts;
  std::string_view rest = url.substr(schemeEnd + 3);
  size_t authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view tail = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
  size_t at = authority.rfind('@');  // user name and password are not asked for
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  parts.port = parts.scheme == "https" ? 443 : 80;
  size_t colon = authority.rfind(':');
  size_t bracket = authority.rfind(']');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    std::string_view port = authority.substr(colon + 1);
    authority = authority.substr(0, colon);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit)) return parts;
    unsigned long number = std::stoul(std::string(port));
    if (number > 0xFFFF) return parts;
    parts.port = static_cast<uint16_t>(number);
  }
  parts.host = std::string(authority);
  if (parts.host.empty()) return parts;
  size_t extra = tail.find_first_of("?#");
  parts.path = std::string(tail.substr(0, extra));
  if (extra != std::string_view::npos) parts.extra = std::string(tail.substr(extra));
  parts.valid = true;
  return parts;
}

ProxySettings ReadUserProxySettings() {
  ProxySettings settings;
  Platform::RegistryKey key;
  if (Platform::RegistryKey::Open(Platform::HKEY_CURRENT_USER, kInternetSettings, Platform::KEY_READ, key) !=
      Platform::ERROR_SUCCESS)
    return settings;
  uint32_t enabled = 0;
  if (key.GetDword(u"ProxyEnable", enabled) == Platform::ERROR_SUCCESS && enabled != 0) {
    settings.proxyServer = ReadString(key, u"ProxyServer");
    settings.bypassList = ReadString(key, u"ProxyOverride");
  }
  settings.autoConfigUrl = ReadString(key, u"AutoConfigURL");
  return settings;
}

std::string NamedProxyFor(const ProxySettings& settings, std::string_view url) {
  if (settings.proxyServer.empty()) return {};
  UrlParts parts = CrackUrl(url);
  if (!parts.valid) return {};
  for (std::string_view entry : SplitList(settings.bypassList))
    if (Bypasses(entry, parts)) return {};
  // Either one proxy for every scheme, or "scheme=proxy" entries of which the URL's scheme picks one.
  std::string chosen;
  for (std::string_view entry : SplitList(settings.proxyServer)) {
    size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (chosen.empty()) chosen = std::string(entry);
    } else if (Platform::EqualsIgnoreCase(Trim(entry.substr(0, equals)), parts.scheme)) {
      chosen = std::string(Trim(entry.substr(equals + 1)));
      break;
    }
  }
  if (chosen.empty()) return {};
  size_t schemeEnd = chosen.find("://");
  if (schemeEnd != std::string::npos) chosen.erase(0, schemeEnd + 3);
  // The proxy itself is spoken to in plain HTTP (https goes through a CONNECT tunnel).
  return "http://" + chosen;
}

}  // namespace Kestrilon::Network
