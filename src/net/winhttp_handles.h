#pragma once
// Owners of the transport's handles, named after the WinHTTP handles they stand for:
// the session (shared DNS and TLS session caches), the connection (an easy handle that keeps at most
// one live connection to its host and port) and the request (what one request adds to its connection).
#include <curl/curl.h>

#include <utility>

namespace Kestrilon::Network {

// Owns one handle; null when it holds none. Close releases it; destruction closes.
class CWinHttp {
 public:
  CWinHttp(const CWinHttp&) = delete;
  CWinHttp& operator=(const CWinHttp&) = delete;
  virtual ~CWinHttp() { Close(); }

  bool IsOpen() const { return handle_ != nullptr; }
  void Close() {
    if (handle_) closer_(handle_);
    handle_ = nullptr;
  }

 protected:
  using Closer = void (*)(void*);
  explicit CWinHttp(Closer closer) : closer_(closer) {}
  void Attach(void* handle) {
    Close();
    handle_ = handle;
  }
  void* Handle() const { return handle_; }

 private:
  void* handle_ = nullptr;
  Closer closer_;
};

class CWinHttpSession : public CWinHttp {
 public:
  CWinHttpSession() : CWinHttp([](void* share) { curl_share_cleanup(share); }) {}
  // A share of the DNS cache and the TLS sessions between the session's connections.
  bool Open();
  CURLSH* Share() const { return static_cast<CURLSH*>(Handle()); }
};

class CWinHttpConnect : public CWinHttp {
 public:
  CWinHttpConnect() : CWinHttp([](void* easy) { curl_easy_cleanup(easy); }) {}
  bool Open(const CWinHttpSession& session);
  CURL* Easy() const { return static_cast<CURL*>(Handle()); }
};

// A request on a connection: the connection's easy handle, set up afresh, and the header list.
class CWinHttpRequest : public CWinHttp {
 public:
  CWinHttpRequest() : CWinHttp([](void* headers) { curl_slist_free_all(static_cast<curl_slist*>(headers)); }) {}
  bool Open(const CWinHttpConnect& connection);
  CURL* Easy() const { return easy_; }
  curl_slist* Headers() const { return static_cast<curl_slist*>(Handle()); }

 private:
  CURL* easy_ = nullptr;
};

}  // namespace Kestrilon::Network
