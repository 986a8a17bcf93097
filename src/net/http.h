#pragma once
// The network client: HTTP and HTTPS requests and downloads.
//
// Two pieces:
//  - the one-shot facility (WebRequest, SendWebRequest): its own session and connection per call, user
//    agent "tevk", never a proxy; used by the http_post command;
//  - the download agent AssistantHttp(): one process-wide session with user agent "Mozilla/5.0" and the
//    signed-in user's proxy settings from the machine image, one kept connection while consecutive
//    requests go to the same host and port, and the GET operations FetchToMemory and DownloadToFile.
//
// TLS certificates are verified against the system's CA bundle plus the machine image's "ROOT" store.
// Every request is bounded in time (resolve unlimited, connect 60 s, send 30 s, 30 s of silence while
// receiving), so a silent server cannot hold a caller for ever.
//
// Results are HRESULTs (platform/status.h); transport failures are the WinHTTP error codes in HRESULT
// form (ERROR_WINHTTP_TIMEOUT becomes 0x80072EE2, and so on). Nothing here throws.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "ui/host/script_value.h"

namespace Kestrilon::Network {

using Platform::HRESULT;

// WinHTTP's error codes, as the platform reports them (add 0x80070000 for the HRESULT).
inline constexpr int32_t ERROR_WINHTTP_TIMEOUT = 12002;
inline constexpr int32_t ERROR_WINHTTP_INTERNAL_ERROR = 12004;
inline constexpr int32_t ERROR_WINHTTP_INVALID_URL = 12005;
inline constexpr int32_t ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006;
inline constexpr int32_t ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
inline constexpr int32_t ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
inline constexpr int32_t ERROR_WINHTTP_CANNOT_CONNECT = 12029;
inline constexpr int32_t ERROR_WINHTTP_CONNECTION_ERROR = 12030;
inline constexpr int32_t ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr int32_t ERROR_WINHTTP_REDIRECT_FAILED = 12156;
inline constexpr int32_t ERROR_WINHTTP_SECURE_FAILURE = 12175;

// ---- One-shot facility -------------------------------------------------------------------------

struct WebRequest {
  std::u16string host;
  uint16_t port = 0;    // 443 for https, 80 for http, or the number given in the URL
  std::u16string path;  // everything from the first "/" after the host, query included
  bool secure = false;  // https
  std::u16string verb;  // the program always sets u"POST"
};

struct WebResponse {
  int32_t status = -1;  // -1 until a status line was read
  std::string body;     // the bytes as received
};

// Fills host, port, path and secure from an http or https URL; false when the URL is not one
// (the fields are then emptied).
bool SetRequestUrl(WebRequest& request, std::u16string_view url);
// Performs the request without a body and without a proxy; true exactly when a status was read
// (404 and 500 included).
bool SendWebRequest(const WebRequest& request, WebResponse& response);
// The body read as UTF-8, up to its first NUL character.
std::u16string DecodeBodyUtf8(const WebResponse& response);

// The http_post command: posts to the URL in `a2` and answers the response body as text; the empty
// string when a2 is not a string or no status was read.
UI::ScriptValue HttpPostCommand(const UI::ScriptValue& a2);

// ---- Download agent ----------------------------------------------------------------------------

// One progress notification. Kinds (they select how the record is filled): 0 the download failed,
// 1 the server answered 400 or more, 2 a chunk was written, 3 the download finished.
struct DownloadProgress {
  std::u16string url;
  std::u16string file;
  int32_t done = 0;      // bytes written so far (kinds 2 and 3), otherwise 0
  int32_t total = 0;     // the Content-Length, 0 when there is none; 0 for kind 1
  int32_t percent = 0;   // done * 100 / total for kinds 2 and 3 (0 when total is 0)
  bool hasProgress = false;  // kinds 2 and 3
  uint32_t userData = 0;
};

struct DownloadJob {
  std::u16string url;   // copied into every notification (and fetched by DownloadToFile(job))
  std::u16string file;  // the local file (a Windows or host path); copied into every notification
  std::function<void(const DownloadProgress&)> callback;  // may be empty
  uint32_t userData = 0;
};

// Time limits of a request; zero means no limit. The defaults are WinHTTP's.
struct HttpTimeouts {
  std::chrono::milliseconds resolve{0};
  std::chrono::milliseconds connect{60'000};
  std::chrono::milliseconds send{30'000};
  std::chrono::milliseconds receive{30'000};  // longest silence while waiting for or reading the answer
};

// The handle owners (defined privately by this folder): a session, a kept connection, one request.
class CWinHttpSession;
class CWinHttpConnect;
class CWinHttpRequest;

class CWinHttpAgent {
 public:
  // Opens the session with `userAgent` and reads the signed-in user's proxy settings from the machine
  // image (HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings).
  explicit CWinHttpAgent(std::string userAgent = "Mozilla/5.0");
  virtual ~CWinHttpAgent();
  CWinHttpAgent(const CWinHttpAgent&) = delete;
  CWinHttpAgent& operator=(const CWinHttpAgent&) = delete;

  // Hooks for derived agents.
  virtual void Reserved() {}
  virtual void OnConnectionOpened(CWinHttpConnect& connection) {}
  virtual void OnRequestOpened(CWinHttpRequest& request) {}
  // Called with the final status before the body is read; false skips the body.
  virtual bool AcceptStatus(CWinHttpRequest& request, int32_t status) { return true; }

  // GET into memory. A status of 400 or more is success with an empty body; `status` (optional)
  // receives the status (0 when none was read). A body shorter than its Content-Length, or one
  // broken off, is a failure.
  HRESULT FetchToMemory(std::u16string_view url, std::string& body, int32_t* status = nullptr);
  // GET into the file (created or truncated). A status of 400 or more gives one kind 1 notification
  // and success without a file; a body shorter than its Content-Length gives E_FAIL, a kind 0
  // notification, and keeps the partial file. `job` may be null.
  HRESULT DownloadToFile(std::u16string_view url, std::u16string_view file, const DownloadJob* job);
  HRESULT DownloadToFile(const DownloadJob& job) { return DownloadToFile(job.url, job.file, &job); }

  // The path sent for `url`: an absolute http(s) URL connects (or keeps the connection to) its host
  // and port and gives its path without the query; anything else is taken below the base path of
  // the last absolute URL that connected.
  std::u16string ResolveRequestPath(std::u16string_view url);

  // Re-reads the proxy settings of the current machine image (the agent reads them once, when built).
  void ReloadProxySettings();
  void SetTimeouts(const HttpTimeouts& timeouts);
  const HttpTimeouts& Timeouts() const;
  // False when the session could not be opened (every request then fails).
  bool IsSessionOpen() const;

  struct State;  // private to net/

 private:
  HRESULT PerformGet(std::u16string_view url, std::string* memory, std::u16string_view file,
                     const DownloadJob* job, int32_t* status);
  std::unique_ptr<State> state_;
};

// The program's agent: built on first use, lives until the process exits.
class AssistantHttpAgent final : public CWinHttpAgent {
 public:
  AssistantHttpAgent() : CWinHttpAgent("Mozilla/5.0") {}
};
CWinHttpAgent& AssistantHttp();

}  // namespace Kestrilon::Network
