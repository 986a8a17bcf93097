// The download agent: one session for the life of the agent, one kept connection per host and port.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "net/http.h"
#include "net/proxy_settings.h"
#include "net/transfer.h"
#include "net/winhttp_handles.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace Kestrilon::Network {
namespace {

constexpr int32_t ERROR_DISK_FULL = 112;
constexpr uint32_t kFlagSecure = 0x00800000;  // WINHTTP_FLAG_SECURE

enum NotificationKind { kFailed = 0, kRefused = 1, kChunk = 2, kFinished = 3 };

void NotifyDownload(const DownloadJob* job, NotificationKind kind, int64_t amount, int64_t total) {
  if (!job) return;
  DownloadProgress progress;
  progress.url = job->url;
  progress.file = job->file;
  progress.userData = job->userData;
  progress.total = static_cast<int32_t>(std::clamp<int64_t>(total, 0, INT32_MAX));
  if (kind == kChunk || kind == kFinished) {
    progress.done = static_cast<int32_t>(std::clamp<int64_t>(amount, 0, INT32_MAX));
    // In 64 bits: done * 100 overflows 32 bits past 21,474,836 bytes.
    progress.percent = total > 0 ? static_cast<int32_t>(std::clamp<int64_t>(amount * 100 / total, 0, 100)) : 0;
    progress.hasProgress = true;
  }
  if (job->callback) job->callback(progress);
}

int32_t CreateErrorOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return Platform::ERROR_PATH_NOT_FOUND;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return Platform::ERROR_FILENAME_EXCED_RANGE;
    default: return Platform::ERROR_ACCESS_DENIED;
  }
}

// The file a download writes into, closed when the object goes.
class OutputFile {
 public:
  ~OutputFile() { Close(); }
  int32_t Create(const std::filesystem::path& path) {
    if (path.empty()) return Platform::ERROR_PATH_NOT_FOUND;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ < 0 ? CreateErrorOf(errno) : Platform::ERROR_SUCCESS;
  }
  int32_t Write(const char* data, size_t size) {
    while (size > 0) {
      ssize_t written = ::write(fd_, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return errno == ENOSPC ? ERROR_DISK_FULL : Platform::ERROR_WRITE_FAULT;
      data += written;
      size -= static_cast<size_t>(written);
    }
    return Platform::ERROR_SUCCESS;
  }
  int32_t Close() {
    int32_t error = Platform::ERROR_SUCCESS;
    if (fd_ >= 0 && ::close(fd_) != 0) error = Platform::ERROR_WRITE_FAULT;
    fd_ = -1;
    return error;
  }
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool StartsWithHttpScheme(std::u16string_view url) {
  return (url.size() >= 7 && Platform::EqualsIgnoreCase(url.substr(0, 7), u"http://")) ||
         (url.size() >= 8 && Platform::EqualsIgnoreCase(url.substr(0, 8), u"https://"));
}

}  // namespace

struct CWinHttpAgent::State {
  std::string userAgent;
  uint32_t requestFlags = 0;
  std::u16string autoConfigUrl;
  CWinHttpSession session;
  CWinHttpConnect connection;
  std::u16string connectedHost;
  std::u16string basePath;
  uint16_t connectedPort = 0;
  ProxySettings proxy;
  HttpTimeouts timeouts;

  bool EnsureConnection(CWinHttpAgent& agent, const std::u16string& host, uint16_t port) {
    if (connection.IsOpen() && host == connectedHost && port == connectedPort) return true;
    connection.Close();
    basePath.clear();
    if (host.empty() || !connection.Open(session)) {
      connectedHost.clear();
      connectedPort = 0;
      return false;
    }
    agent.OnConnectionOpened(connection);
    connectedHost = host;
    connectedPort = port;
    return true;
  }

  // The URL a request on the kept connection goes to.
  std::string RequestUrl(const std::u16string& path) const {
    std::string host = Platform::ToUtf8(connectedHost);
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    return std::string(requestFlags & kFlagSecure ? "https://" : "http://") + host + ":" +
           std::to_string(connectedPort) + Platform::ToUtf8(path);
  }

  // The session's named proxy, or the auto-configuration script's choice when there is a script and
  // it can be evaluated.
  std::string ProxyFor(const std::string& url) const {
    if (!autoConfigUrl.empty()) {
      if (std::optional<std::string> chosen = AutoConfigProxyFor(Platform::ToUtf8(autoConfigUrl), url)) return *chosen;
    }
    return NamedProxyFor(proxy, url);
  }
};

CWinHttpAgent::CWinHttpAgent(std::string userAgent) : state_(std::make_unique<State>()) {
  state_->userAgent = std::move(userAgent);
  state_->session.Open();
  ReloadProxySettings();
}

CWinHttpAgent::~CWinHttpAgent() {
  state_->connection.Close();
  state_->session.Close();
  state_->connectedHost.clear();
  state_->basePath.clear();
  state_->autoConfigUrl.clear();
}

void CWinHttpAgent::ReloadProxySettings() {
  state_->proxy = ReadUserProxySettings();
  state_->autoConfigUrl = Platform::ToUtf16(state_->proxy.autoConfigUrl);
}

void CWinHttpAgent::SetTimeouts(const HttpTimeouts& timeouts) { state_->timeouts = timeouts; }
const HttpTimeouts& CWinHttpAgent::Timeouts() const { return state_->timeouts; }
bool CWinHttpAgent::IsSessionOpen() const { return state_->session.IsOpen(); }

std::u16string CWinHttpAgent::ResolveRequestPath(std::u16string_view url) {
  if (!StartsWithHttpScheme(url)) return state_->basePath + std::u16string(url);
  UrlParts parts = CrackUrl(Platform::ToUtf8(url));
  std::u16string host = Platform::ToUtf16(parts.host);
  std::u16string path = Platform::ToUtf16(parts.path);
  if (state_->EnsureConnection(*this, host, parts.port)) {
    state_->basePath = path;
    state_->requestFlags = parts.scheme == "https" ? kFlagSecure : 0;
  }
  return path;  // the query and the fragment are not sent
}

HRESULT CWinHttpAgent::FetchToMemory(std::u16string_view url, std::string& body, int32_t* status) {
  return PerformGet(url, &body, {}, nullptr, status);
}

HRESULT CWinHttpAgent::DownloadToFile(std::u16string_view url, std::u16string_view file, const DownloadJob* job) {
  return PerformGet(url, nullptr, file, job, nullptr);
}

HRESULT CWinHttpAgent::PerformGet(std::u16string_view url, std::string* memory, std::u16string_view file,
                                  const DownloadJob* job, int32_t* statusOut) {
  if (statusOut) *statusOut = 0;
  std::u16string path = ResolveRequestPath(url);
  CWinHttpRequest request;
  // Without a connection there is no request to send, as with a null connection handle.
  if (!state_->connection.IsOpen() || !request.Open(state_->connection))
    return Platform::HResultFromWin32(Platform::ERROR_INVALID_HANDLE);
  OnRequestOpened(request);

  TransferSettings settings;
  settings.url = state_->RequestUrl(path);
  settings.userAgent = state_->userAgent;
  settings.timeouts = state_->timeouts;
  settings.proxyFor = [this](const std::string& target) { return state_->ProxyFor(target); };

  bool readBody = false;
  std::string received;
  OutputFile output;
  int32_t fileError = Platform::ERROR_SUCCESS;
  int64_t total = 0;
  uint64_t done = 0;

  TransferSink sink;
  sink.onStatus = [&](int32_t status, int64_t contentLength) {
    if (!AcceptStatus(request, status)) return BodyAction::Abort;
    if (memory) {
      readBody = status < 400;
      return readBody ? BodyAction::Read : BodyAction::Discard;
    }
    if (status > 399) {
      NotifyDownload(job, kRefused, status, 0);
      return BodyAction::Discard;
    }
    total = std::max<int64_t>(contentLength, 0);
    readBody = true;
    fileError = output.Create(Platform::ToHostPath(file));
    return fileError == Platform::ERROR_SUCCESS ? BodyAction::Read : BodyAction::Abort;
  };
  sink.onData = [&](const char* data, size_t size) {
    if (memory) {
      received.append(data, size);
      return true;
    }
    fileError = output.Write(data, size);
    if (fileError != Platform::ERROR_SUCCESS) return false;
    done += size;
    NotifyDownload(job, kChunk, static_cast<int64_t>(done), total);
    return true;
  };

  TransferResult result = RunTransfer(state_->session, request, settings, sink);
  if (statusOut) *statusOut = result.statusRead ? result.status : 0;
  if (!result.statusRead) {
    // Send and receive errors, before any status: no notification.
    int32_t error = result.redirectError ? result.redirectError : WinHttpErrorOf(result.code);
    return Platform::HResultFromWin32(error ? error : ERROR_WINHTTP_INTERNAL_ERROR);
  }
  if (!readBody) return Platform::S_OK;  // a refused status or a skipped body

  // A body that broke off (the server closed early, or went silent) is a failure, not a short success.
  int64_t announced = result.contentLength;
  bool shortBody = announced >= 0 && static_cast<uint64_t>(announced) != result.bodyBytes;
  HRESULT outcome = Platform::S_OK;
  if (memory) {
    if (shortBody) {
      outcome = Platform::E_FAIL;
    } else if (result.code != CURLE_OK) {
      outcome = Platform::HResultFromWin32(WinHttpErrorOf(result.code));
    }
    *memory = std::move(received);
    return outcome;
  }
  if (fileError == Platform::ERROR_SUCCESS && output.IsOpen()) fileError = output.Close();
  if (fileError != Platform::ERROR_SUCCESS) {
    outcome = Platform::HResultFromWin32(fileError);
  } else if (total != 0 && static_cast<uint64_t>(total) != done) {
    outcome = Platform::E_FAIL;  // the partial file stays; callers check what they downloaded
  } else if (result.code != CURLE_OK && !result.stoppedBySink) {
    outcome = Platform::HResultFromWin32(WinHttpErrorOf(result.code));
  }
  if (Platform::Failed(outcome)) {
    NotifyDownload(job, kFailed, outcome, total);
  } else {
    NotifyDownload(job, kFinished, static_cast<int64_t>(done), total);
  }
  return outcome;
}

CWinHttpAgent& AssistantHttp() {
  static AssistantHttpAgent agent;
  return agent;
}

}  // namespace Kestrilon::Network
