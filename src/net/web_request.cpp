// The one-shot request facility and the http_post command.
#include <string>

#include "net/http.h"
#include "net/transfer.h"
#include "net/winhttp_handles.h"
#include "platform/text/text.h"

namespace Kestrilon::Network {
namespace {

// Fills the request from the text after the scheme; false when no "/" follows the host.
bool SplitAfterScheme(WebRequest& request, std::u16string_view rest, uint16_t defaultPort, bool secure) {
  size_t slash = rest.find(u'/');
  if (slash == std::u16string_view::npos) return false;
  size_t colon = rest.substr(0, slash).find(u':');
  request.path = std::u16string(rest.substr(slash));
  request.host = std::u16string(rest.substr(0, colon == std::u16string_view::npos ? slash : colon));
  request.port = defaultPort;
  request.secure = secure;
  if (colon != std::u16string_view::npos) {
    // The decimal number between the colon and the slash; text that is not one gives 0.
    uint32_t port = 0;
    bool numeric = colon + 1 < slash;
    for (char16_t c : rest.substr(colon + 1, slash - colon - 1)) {
      if (c < u'0' || c > u'9' || port > 0xFFFF) { numeric = false; break; }
      port = port * 10 + (c - u'0');
    }
    request.port = numeric && port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
  }
  return true;
}

}  // namespace

bool SetRequestUrl(WebRequest& request, std::u16string_view url) {
  request.host.clear();
  request.path.clear();
  request.port = 0;
  request.secure = false;
  if (url.size() > 7 && Platform::EqualsIgnoreCase(url.substr(0, 8), u"https://"))
    return SplitAfterScheme(request, url.substr(8), 443, true);
  if (url.size() > 6 && Platform::EqualsIgnoreCase(url.substr(0, 7), u"http://"))
    return SplitAfterScheme(request, url.substr(7), 80, false);
  return false;
}

bool SendWebRequest(const WebRequest& request, WebResponse& response) {
  response.status = -1;
  response.body.clear();
  // A request that names no server fails at the connection, as the platform's connect does.
  if (request.host.empty()) return false;
  // Port 0 is the platform's "default port": 443 for a secure request, else 80.
  uint16_t port = request.port != 0 ? request.port : (request.secure ? 443 : 80);
  CWinHttpSession session;
  CWinHttpConnect connection;
  CWinHttpRequest handle;
  if (!session.Open() || !connection.Open(session) || !handle.Open(connection)) return false;

  std::string host = Platform::ToUtf8(request.host);
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";  // IPv6 literal
  TransferSettings settings;
  settings.url = std::string(request.secure ? "https://" : "http://") + host + ":" + std::to_string(port) +
                 Platform::ToUtf8(request.path);
  settings.userAgent = "tevk";
  settings.post = Platform::EqualsIgnoreCase(request.verb, u"POST");
  // No proxy: proxyFor stays empty, so every hop goes direct.

  TransferSink sink;
  sink.onData = [&](const char* data, size_t size) {
    response.body.append(data, size);
    return true;
  };
  TransferResult result = RunTransfer(session, handle, settings, sink);
  // A failure while reading the body still answers the status, with what was read.
  if (result.statusRead) response.status = result.status;
  return response.status != -1;
}

std::u16string DecodeBodyUtf8(const WebResponse& response) {
  std::string_view body(response.body);
  body = body.substr(0, body.find('\0'));
  return Platform::ToUtf16(body);
}

UI::ScriptValue HttpPostCommand(const UI::ScriptValue& a2) {
  if (!a2.IsString()) return UI::ScriptValue::String(u"");
  WebRequest request;
  SetRequestUrl(request, a2.AsString());
  request.verb = u"POST";
  WebResponse response;
  if (!SendWebRequest(request, response)) return UI::ScriptValue::String(u"");
  return UI::ScriptValue::String(DecodeBodyUtf8(response));
}

}  // namespace Kestrilon::Network
