#pragma once
// One request over a connection's easy handle: TLS trust, time limits, redirects as WinHTTP follows
// them, and the final response's status and body handed to a sink. Private to net/.
#include <cstdint>
#include <functional>
#include <string>

#include "net/http.h"
#include "net/winhttp_handles.h"

namespace Kestrilon::Network {

// Makes sure libcurl's global state is set up (once per process).
void EnsureCurlInitialised();

enum class BodyAction { Read, Discard, Abort };

struct TransferSettings {
  std::string url;
  std::string userAgent;
  bool post = false;  // POST without a body, else GET
  HttpTimeouts timeouts;
  // The proxy for a URL ("" for none); asked again for every redirect.
  std::function<std::string(const std::string& url)> proxyFor;
};

struct TransferSink {
  // The final response's status and Content-Length (-1 when none), before any of its body.
  std::function<BodyAction(int32_t status, int64_t contentLength)> onStatus;
  // A piece of the body; false stops the transfer.
  std::function<bool(const char* data, size_t size)> onData;
};

struct TransferResult {
  CURLcode code = CURLE_OK;
  bool statusRead = false;  // the final response's headers arrived
  int32_t status = 0;
  int64_t contentLength = -1;
  uint64_t bodyBytes = 0;   // body bytes handed to onData
  bool stoppedBySink = false;
  int32_t redirectError = 0;  // a WinHTTP error when redirects could not be followed
};

TransferResult RunTransfer(CWinHttpSession& session, CWinHttpRequest& request, const TransferSettings& settings,
                           TransferSink& sink);

// The WinHTTP error a transport failure stands for.
int32_t WinHttpErrorOf(CURLcode code);

}  // namespace Kestrilon::Network
