#include "net/transfer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <string_view>

#include "platform/certstore/certstore.h"
#include "platform/text/text.h"

namespace Kestrilon::Network {
namespace {

constexpr int kMaxRedirects = 10;      // WinHTTP's default
constexpr long kBufferSize = 256 * 1024;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Platform::EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

// Trust the image's "ROOT" store on top of the system's CA bundle, as WinHTTP trusts the Windows roots.
CURLcode AddImageRootCertificates(CURL*, void* sslContext, void*) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  for (const Platform::DerCertificate& der : Platform::EnumerateStoreCertificates(u"ROOT")) {
    const unsigned char* p = der.data();
    X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!certificate) continue;
    X509_STORE_add_cert(store, certificate);  // a certificate already in the bundle is refused: harmless
    X509_free(certificate);
  }
  ERR_clear_error();
  return CURLE_OK;
}

bool IsRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// What one attempt (one hop of a redirect chain) has seen so far.
struct Attempt {
  CURL* easy = nullptr;
  TransferSink* sink = nullptr;
  TransferResult* result = nullptr;
  bool secure = false;
  bool haveLocation = false;
  bool httpLocation = false;  // the Location names a plain-http URL
  bool isFinal = false;
  bool followRedirect = false;
  BodyAction action = BodyAction::Read;
  // Silence detection: the longest wait for the next byte once connected (zero: none).
  std::chrono::milliseconds silenceLimit{0};
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
  curl_off_t lastDown = 0;
  curl_off_t lastUp = 0;
  bool timedOut = false;

  void Activity() { lastActivity = std::chrono::steady_clock::now(); }
};

// Ends a request whose server has been silent (nothing sent, nothing received) for too long.
int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto& attempt = *static_cast<Attempt*>(user);
  curl_off_t connected = 0;
  curl_easy_getinfo(attempt.easy, CURLINFO_PRETRANSFER_TIME_T, &connected);
  if (connected == 0 || down != attempt.lastDown || up != attempt.lastUp) {
    // Still connecting (the connect limit applies there), or bytes moved.
    attempt.lastDown = down;
    attempt.lastUp = up;
    attempt.Activity();
    return 0;
  }
  if (attempt.silenceLimit.count() > 0 &&
      std::chrono::steady_clock::now() - attempt.lastActivity >= attempt.silenceLimit) {
    attempt.timedOut = true;
    return 1;
  }
  return 0;
}

size_t OnHeader(char* buffer, size_t size, size_t count, void* user) {
  auto& attempt = *static_cast<Attempt*>(user);
  size_t length = size * count;
  attempt.Activity();
  if (attempt.isFinal) return length;  // trailers after a chunked body
  std::string_view line(buffer, length);
  if (StartsWithNoCase(line, "HTTP/")) {  // a new response begins (after a 1xx one)
    attempt.haveLocation = attempt.httpLocation = false;
    return length;
  }
  if (Trim(line).empty()) {  // the end of a response's headers
    long status = 0;
    curl_easy_getinfo(attempt.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status / 100 == 1 || status == 0) return length;  // an interim answer, or a proxy's tunnel reply
    // WinHTTP follows redirects, except from https to http.
    if (IsRedirectStatus(status) && attempt.haveLocation && !(attempt.secure && attempt.httpLocation)) {
      attempt.followRedirect = true;
      attempt.action = BodyAction::Discard;
      return length;
    }
    curl_off_t contentLength = -1;
    curl_easy_getinfo(attempt.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength);
    attempt.isFinal = true;
    attempt.result->statusRead = true;
    attempt.result->status = static_cast<int32_t>(status);
    attempt.result->contentLength = contentLength;
    attempt.action = attempt.sink->onStatus ? attempt.sink->onStatus(static_cast<int32_t>(status), contentLength)
                                            : BodyAction::Read;
    if (attempt.action == BodyAction::Abort) {
      attempt.result->stoppedBySink = true;
      return 0;
    }
    return length;
  }
  size_t colon = line.find(':');
  if (colon != std::string_view::npos && Platform::EqualsIgnoreCase(Trim(line.substr(0, colon)), "Location")) {
    std::string_view location = Trim(line.substr(colon + 1));
    attempt.haveLocation = !location.empty();
    attempt.httpLocation = StartsWithNoCase(location, "http:");
  }
  return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& attempt = *static_cast<Attempt*>(user);
  size_t length = size * count;
  attempt.Activity();
  if (!attempt.isFinal || attempt.action != BodyAction::Read) return length;
  if (attempt.sink->onData && !attempt.sink->onData(data, length)) {
    attempt.result->stoppedBySink = true;
    return CURL_WRITEFUNC_ERROR;
  }
  attempt.result->bodyBytes += length;
  return length;
}

long Milliseconds(std::chrono::milliseconds value) {
  return static_cast<long>(std::min<long long>(value.count(), INT_MAX));
}

void ApplyConnectTimeout(CURL* easy, const HttpTimeouts& timeouts) {
  // libcurl's connect limit covers name resolution too: the two limits add up, and none means none.
  long connect = timeouts.connect.count() > 0 ? Milliseconds(timeouts.connect + timeouts.resolve) : INT_MAX;
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connect);
}

}  // namespace

void EnsureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool CWinHttpSession::Open() {
  EnsureCurlInitialised();
  CURLSH* share = curl_share_init();
  if (!share) return false;
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  Attach(share);
  return true;
}

bool CWinHttpConnect::Open(const CWinHttpSession& session) {
  if (!session.IsOpen()) return false;
  CURL* easy = curl_easy_init();
  if (!easy) return false;
  Attach(easy);
  return true;
}

bool CWinHttpRequest::Open(const CWinHttpConnect& connection) {
  Close();
  easy_ = connection.Easy();
  if (!easy_) return false;
  // No headers beyond the request line, the host and the user agent: WinHTTP sends none by default.
  curl_slist* headers = curl_slist_append(nullptr, "Accept:");
  headers = curl_slist_append(headers, "Content-Type:");
  if (!headers) return false;
  Attach(headers);
  return true;
}

TransferResult RunTransfer(CWinHttpSession& session, CWinHttpRequest& request, const TransferSettings& settings,
                           TransferSink& sink) {
  TransferResult result;
  CURL* easy = request.Easy();
  if (!easy || !session.IsOpen()) {
    result.code = CURLE_FAILED_INIT;
    return result;
  }
  std::string url = settings.url;
  bool post = settings.post;
  for (int hop = 0;; ++hop) {
    // A reset keeps the live connection, the caches and the share, and drops the last request's options.
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_SHARE, session.Share());
    curl_easy_setopt(easy, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, settings.userAgent.c_str());
    std::string proxy = settings.proxyFor ? settings.proxyFor(url) : std::string();
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());  // "" also keeps the environment's proxy out
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // the tunnel's reply is not the answer
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.Headers());
    if (post) {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, 0L);
    } else {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &AddImageRootCertificates);
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);  // the ROOT store may change between requests
    ApplyConnectTimeout(easy, settings.timeouts);

    Attempt attempt;
    attempt.easy = easy;
    attempt.sink = &sink;
    attempt.result = &result;
    attempt.secure = StartsWithNoCase(url, "https:");
    attempt.silenceLimit = std::max(settings.timeouts.send, settings.timeouts.receive);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &attempt);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &attempt);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &attempt);

    CURLcode code = curl_easy_perform(easy);
    if (attempt.timedOut) code = CURLE_OPERATION_TIMEDOUT;
    if (!attempt.followRedirect || code != CURLE_OK) {
      result.code = code;
      return result;
    }
    char* next = nullptr;
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &next);
    if (hop >= kMaxRedirects || !next) {
      result.code = CURLE_TOO_MANY_REDIRECTS;
      result.redirectError = ERROR_WINHTTP_REDIRECT_FAILED;
      return result;
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    url = next;
    if (status == 303 || (post && (status == 301 || status == 302))) post = false;
  }
}

int32_t WinHttpErrorOf(CURLcode code) {
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_WINHTTP_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_WINHTTP_TIMEOUT;
    case CURLE_URL_MALFORMAT: return ERROR_WINHTTP_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
    case CURLE_TOO_MANY_REDIRECTS: return ERROR_WINHTTP_REDIRECT_FAILED;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return ERROR_WINHTTP_SECURE_FAILURE;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: return ERROR_WINHTTP_CONNECTION_ERROR;
    case CURLE_OUT_OF_MEMORY: return Platform::ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_WINHTTP_INTERNAL_ERROR;
  }
}

}  // namespace Kestrilon::Network
