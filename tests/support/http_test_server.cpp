#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace Kestrilon::Testing {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// ---- Sockets ------------------------------------------------------------------------------------

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) { Reset(); fd_ = std::exchange(other.fd_, -1); }
    return *this;
  }
  int Get() const { return fd_; }
  void Reset() { if (fd_ >= 0) ::close(fd_); fd_ = -1; }

 private:
  int fd_ = -1;
};

Fd ListenOnLoopback(uint16_t& port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) return {};
  int yes = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  if (::listen(fd.Get(), 64) != 0) return {};
  socklen_t size = sizeof address;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return fd;
}

Fd ConnectTo(const std::string& host, uint16_t port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  if (::inet_pton(AF_INET, numeric.c_str(), &address.sin_addr) != 1) return {};
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

// One accepted connection: plain or TLS.
class Stream {
 public:
  Stream(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  ~Stream() {
    if (ssl_) { SSL_shutdown(ssl_); SSL_free(ssl_); }
  }
  long Read(char* buffer, size_t size) {
    if (ssl_) {
      int got = SSL_read(ssl_, buffer, static_cast<int>(size));
      return got > 0 ? got : -1;
    }
    ssize_t got = ::recv(fd_, buffer, size, 0);
    return got > 0 ? got : -1;
  }
  bool Write(const char* data, size_t size) {
    while (size > 0) {
      long sent = ssl_ ? SSL_write(ssl_, data, static_cast<int>(size)) : ::send(fd_, data, size, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      data += sent;
      size -= static_cast<size_t>(sent);
    }
    return true;
  }
  bool Write(std::string_view text) { return Write(text.data(), text.size()); }

 private:
  int fd_;
  SSL* ssl_;
};

// Accepts on loopback and runs each connection on its own thread; Stop wakes and joins them all.
class TcpService {
 public:
  using ConnectionHandler = std::function<void(int fd, int number)>;

  ~TcpService() { Stop(); }

  bool Start(ConnectionHandler handler) {
    ::signal(SIGPIPE, SIG_IGN);  // a client that goes away must not end the test process
    listener_ = ListenOnLoopback(port_);
    wake_ = Fd(::eventfd(0, EFD_CLOEXEC));
    if (listener_.Get() < 0 || wake_.Get() < 0) return false;
    stopping_ = false;
    handler_ = std::move(handler);
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
  }

  void Stop() {
    if (!acceptor_.joinable()) return;
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
      for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_.Get(), &one, sizeof one);
    acceptor_.join();
    std::list<std::thread> threads;
    {
      std::lock_guard guard(lock_);
      threads.swap(threads_);
    }
    for (std::thread& thread : threads) thread.join();
    listener_.Reset();
    wake_.Reset();
  }

  // Registers a socket to be shut down by Stop (for the proxy's outgoing side).
  bool Track(int fd) {
    std::lock_guard guard(lock_);
    if (stopping_) return false;
    open_.insert(fd);
    return true;
  }
  void Untrack(int fd) {
    std::lock_guard guard(lock_);
    open_.erase(fd);
  }
  // Sleeps, or returns false at once when the service stops.
  bool Wait(std::chrono::milliseconds delay) {
    std::unique_lock guard(lock_);
    return !stopped_.wait_for(guard, delay, [this] { return stopping_; });
  }

  uint16_t Port() const { return port_; }
  int Accepted() const { return accepted_; }

 private:
  void AcceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      int fd = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int yes = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      std::lock_guard guard(lock_);
      if (stopping_) { ::close(fd); return; }
      open_.insert(fd);
      int number = ++accepted_;
      threads_.emplace_back([this, fd, number] {
        handler_(fd, number);
        Untrack(fd);
        ::close(fd);
      });
    }
  }

  Fd listener_;
  Fd wake_;
  uint16_t port_ = 0;
  ConnectionHandler handler_;
  std::thread acceptor_;
  std::mutex lock_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::set<int> open_;
  std::list<std::thread> threads_;
  std::atomic<int> accepted_{0};
};

// Reads one request head (through the blank line) into `head`, keeping what follows in `pending`.
bool ReadHead(Stream& stream, std::string& pending, std::string& head) {
  for (;;) {
    size_t end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = pending.substr(0, end + 2);
      pending.erase(0, end + 4);
      return true;
    }
    if (pending.size() > 1 << 20) return false;
    char buffer[16 * 1024];
    long got = stream.Read(buffer, sizeof buffer);
    if (got <= 0) return false;
    pending.append(buffer, static_cast<size_t>(got));
  }
}

// Splits "GET /x HTTP/1.1\r\nName: value\r\n..." into its parts.
bool ParseHead(const std::string& head, std::string& requestLine, std::vector<std::pair<std::string, std::string>>& headers) {
  size_t lineEnd = head.find("\r\n");
  requestLine = head.substr(0, lineEnd);
  size_t at = lineEnd + 2;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    std::string line = head.substr(at, end - at);
    at = end + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    size_t valueStart = line.find_first_not_of(" \t", colon + 1);
    headers.emplace_back(line.substr(0, colon), valueStart == std::string::npos ? "" : line.substr(valueStart));
  }
  return !requestLine.empty();
}

std::string FindHeader(const std::vector<std::pair<std::string, std::string>>& headers, std::string_view name) {
  for (const auto& [key, value] : headers)
    if (EqualsNoCase(key, name)) return value;
  return {};
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// ---- OpenSSL owners -----------------------------------------------------------------------------

struct KeyFree { void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); } };
struct CertFree { void operator()(X509* certificate) const { X509_free(certificate); } };
struct BioFree { void operator()(BIO* bio) const { BIO_free(bio); } };
struct CtxFree { void operator()(SSL_CTX* context) const { SSL_CTX_free(context); } };
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

std::string CertificateToPem(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), certificate);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string KeyToPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) throw std::runtime_error("bad certificate extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

CertPtr NewCertificate(EVP_PKEY* subjectKey, const std::string& commonName) {
  CertPtr certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600);
  X509_set_pubkey(certificate.get(), subjectKey);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return certificate;
}

}  // namespace

// ---- Requests and generated bodies -------------------------------------------------------------

std::string TestHttpRequest::Header(std::string_view name) const { return FindHeader(headers, name); }

bool TestHttpRequest::HasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& header) { return EqualsNoCase(header.first, name); });
}

namespace {
// The generated body repeats every 26 * 251 bytes: not a power of two, so a misplaced chunk shows.
constexpr uint64_t kGeneratedPeriod = 26 * 251;

const std::string& GeneratedPeriod() {
  static const std::string period = [] {
    std::string bytes(kGeneratedPeriod, '\0');
    for (uint64_t i = 0; i < kGeneratedPeriod; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return bytes;
  }();
  return period;
}

void FillGenerated(uint64_t offset, char* out, size_t size) {
  const std::string& period = GeneratedPeriod();
  while (size > 0) {
    size_t at = static_cast<size_t>(offset % kGeneratedPeriod);
    size_t piece = std::min<size_t>(size, kGeneratedPeriod - at);
    std::memcpy(out, period.data() + at, piece);
    out += piece;
    offset += piece;
    size -= piece;
  }
}
}  // namespace

char GeneratedBodyByte(uint64_t offset) { return GeneratedPeriod()[offset % kGeneratedPeriod]; }

std::string GeneratedBody(uint64_t size) {
  std::string body(size, '\0');
  FillGenerated(0, body.data(), body.size());
  return body;
}

// ---- Certificate authority ----------------------------------------------------------------------

struct TestCertificateAuthority::Keys {
  KeyPtr key;
  CertPtr certificate;
};

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) : keys_(std::make_unique<Keys>()) {
  keys_->key.reset(EVP_EC_gen("P-256"));
  keys_->certificate = NewCertificate(keys_->key.get(), commonName);
  X509* certificate = keys_->certificate.get();
  X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
  AddExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(certificate, certificate, NID_subject_key_identifier, "hash");
  X509_sign(certificate, keys_->key.get(), EVP_sha256());
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

std::vector<uint8_t> TestCertificateAuthority::CertificateDer() const {
  unsigned char* data = nullptr;
  int size = i2d_X509(keys_->certificate.get(), &data);
  std::vector<uint8_t> der(data, data + std::max(size, 0));
  OPENSSL_free(data);
  return der;
}

std::string TestCertificateAuthority::CertificatePem() const { return CertificateToPem(keys_->certificate.get()); }

TestTlsIdentity TestCertificateAuthority::IssueServerIdentity(const std::vector<std::string>& names) const {
  KeyPtr key(EVP_EC_gen("P-256"));
  CertPtr certificate = NewCertificate(key.get(), names.empty() ? "localhost" : names.front());
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(keys_->certificate.get()));
  std::string alternativeNames;
  for (const std::string& name : names) {
    in6_addr ignored;
    bool isAddress = ::inet_pton(AF_INET, name.c_str(), &ignored) == 1 || ::inet_pton(AF_INET6, name.c_str(), &ignored) == 1;
    if (!alternativeNames.empty()) alternativeNames += ",";
    alternativeNames += (isAddress ? "IP:" : "DNS:") + name;
  }
  AddExtension(certificate.get(), keys_->certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(certificate.get(), keys_->certificate.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(certificate.get(), keys_->certificate.get(), NID_authority_key_identifier, "keyid:always");
  if (!alternativeNames.empty())
    AddExtension(certificate.get(), keys_->certificate.get(), NID_subject_alt_name, alternativeNames.c_str());
  X509_sign(certificate.get(), keys_->key.get(), EVP_sha256());
  return {CertificateToPem(certificate.get()), KeyToPem(key.get())};
}

// ---- Server ------------------------------------------------------------------------------------

struct HttpTestServer::Impl {
  std::optional<TestTlsIdentity> identity;
  CtxPtr tls;
  TcpService service;
  mutable std::mutex lock;
  std::map<std::string, TestHttpHandler> routes;
  std::vector<TestHttpRequest> requests;

  bool MakeTlsContext() {
    tls.reset(SSL_CTX_new(TLS_server_method()));
    BioPtr certificateBio(BIO_new_mem_buf(identity->certificatePem.data(), static_cast<int>(identity->certificatePem.size())));
    BioPtr keyBio(BIO_new_mem_buf(identity->privateKeyPem.data(), static_cast<int>(identity->privateKeyPem.size())));
    CertPtr certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    return tls && certificate && key && SSL_CTX_use_certificate(tls.get(), certificate.get()) == 1 &&
           SSL_CTX_use_PrivateKey(tls.get(), key.get()) == 1;
  }

  void Serve(int fd, int number) {
    SSL* ssl = nullptr;
    if (tls) {
      ssl = SSL_new(tls.get());
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        return;  // the client refused our certificate, or went away
      }
    }
    Stream stream(fd, ssl);
    std::string pending;
    for (;;) {
      std::string head;
      if (!ReadHead(stream, pending, head)) return;
      TestHttpRequest request;
      std::string requestLine;
      if (!ParseHead(head, requestLine, request.headers)) return;
      size_t space1 = requestLine.find(' ');
      size_t space2 = requestLine.rfind(' ');
      if (space1 == std::string::npos || space2 <= space1) return;
      request.method = requestLine.substr(0, space1);
      request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
      std::string version = requestLine.substr(space2 + 1);
      std::string origin = request.target;
      if (origin.rfind("http://", 0) == 0 || origin.rfind("https://", 0) == 0) {  // absolute form
        size_t slash = origin.find('/', origin.find("//") + 2);
        origin = slash == std::string::npos ? "/" : origin.substr(slash);
      }
      size_t question = origin.find('?');
      request.path = origin.substr(0, question);
      request.query = question == std::string::npos ? "" : origin.substr(question + 1);
      request.connection = number;
      uint64_t bodyLength = std::strtoull(request.Header("Content-Length").c_str(), nullptr, 10);
      while (pending.size() < bodyLength) {
        char buffer[16 * 1024];
        long got = stream.Read(buffer, sizeof buffer);
        if (got <= 0) return;
        pending.append(buffer, static_cast<size_t>(got));
      }
      request.body = pending.substr(0, bodyLength);
      pending.erase(0, bodyLength);

      TestHttpHandler handler;
      {
        std::lock_guard guard(lock);
        requests.push_back(request);
        auto route = routes.find(request.path);
        if (route != routes.end()) handler = route->second;
      }
      TestHttpResponse response;
      if (handler) {
        handler(request, response);
      } else {
        response.status = 404;
        response.body = "not found";
      }
      bool keepAlive = version == "HTTP/1.1" && !EqualsNoCase(request.Header("Connection"), "close");
      if (!Respond(stream, request, response, keepAlive) || !keepAlive) return;
    }
  }

  // Sends the response; answers whether the connection can carry another request.
  bool Respond(Stream& stream, const TestHttpRequest& request, const TestHttpResponse& response, bool& keepAlive) {
    if (response.delayBeforeResponse.count() > 0 && !service.Wait(response.delayBeforeResponse)) return false;
    uint64_t length = response.generatedLength ? response.generatedLength : response.body.size();
    uint64_t announced = response.announcedLength.value_or(length);
    if (!response.sendContentLength || announced != length || response.closeConnection) keepAlive = false;
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
    if (response.sendContentLength) head += "Content-Length: " + std::to_string(announced) + "\r\n";
    if (!keepAlive) head += "Connection: close\r\n";
    head += "\r\n";
    if (!stream.Write(head)) return false;
    if (request.method == "HEAD") return true;
    size_t chunk = std::max<size_t>(response.chunkSize, 1);
    std::string buffer;
    for (uint64_t sent = 0; sent < length;) {
      if (sent > 0 && response.delayBetweenChunks.count() > 0 && !service.Wait(response.delayBetweenChunks)) return false;
      size_t size = static_cast<size_t>(std::min<uint64_t>(chunk, length - sent));
      const char* data;
      if (response.generatedLength) {
        buffer.resize(size);
        FillGenerated(sent, buffer.data(), size);
        data = buffer.data();
      } else {
        data = response.body.data() + sent;
      }
      if (!stream.Write(data, size)) return false;
      sent += size;
    }
    return true;
  }
};

HttpTestServer::HttpTestServer() : impl_(std::make_unique<Impl>()) {}
HttpTestServer::HttpTestServer(TestTlsIdentity identity) : impl_(std::make_unique<Impl>()) {
  impl_->identity = std::move(identity);
}
HttpTestServer::~HttpTestServer() { Stop(); }

void HttpTestServer::Route(const std::string& path, TestHttpHandler handler) {
  std::lock_guard guard(impl_->lock);
  impl_->routes[path] = std::move(handler);
}

bool HttpTestServer::Start() {
  if (impl_->identity && !impl_->MakeTlsContext()) return false;
  return impl_->service.Start([this](int fd, int number) { impl_->Serve(fd, number); });
}

void HttpTestServer::Stop() { impl_->service.Stop(); }
uint16_t HttpTestServer::Port() const { return impl_->service.Port(); }
bool HttpTestServer::IsSecure() const { return impl_->identity.has_value(); }

std::string HttpTestServer::Url(std::string_view pathAndQuery) const {
  return std::string(IsSecure() ? "https" : "http") + "://127.0.0.1:" + std::to_string(Port()) + std::string(pathAndQuery);
}

int HttpTestServer::ConnectionCount() const { return impl_->service.Accepted(); }

std::vector<TestHttpRequest> HttpTestServer::Requests() const {
  std::lock_guard guard(impl_->lock);
  return impl_->requests;
}

void HttpTestServer::ClearRequests() {
  std::lock_guard guard(impl_->lock);
  impl_->requests.clear();
}

// ---- Proxy -------------------------------------------------------------------------------------

struct HttpTestProxy::Impl {
  TcpService service;
  mutable std::mutex lock;
  std::vector<std::string> requestLines;

  // Copies bytes both ways until either side closes.
  static void Pump(int a, int b, std::string_view initialToB) {
    if (!initialToB.empty() && ::send(b, initialToB.data(), initialToB.size(), MSG_NOSIGNAL) < 0) return;
    char buffer[64 * 1024];
    for (;;) {
      pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) return;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t got = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        if (::send(fds[1 - i].fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) return;
      }
    }
  }

  void Relay(int client, int number) {
    Stream stream(client, nullptr);
    std::string pending, head, requestLine;
    std::vector<std::pair<std::string, std::string>> headers;
    if (!ReadHead(stream, pending, head) || !ParseHead(head, requestLine, headers)) return;
    {
      std::lock_guard guard(lock);
      requestLines.push_back(requestLine);
    }
    size_t space1 = requestLine.find(' ');
    size_t space2 = requestLine.rfind(' ');
    if (space1 == std::string::npos || space2 <= space1) return;
    std::string method = requestLine.substr(0, space1);
    std::string target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    std::string version = requestLine.substr(space2 + 1);

    std::string authority, path = "/";
    if (method == "CONNECT") {
      authority = target;
    } else if (target.rfind("http://", 0) == 0) {
      size_t slash = target.find('/', 7);
      authority = target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
      if (slash != std::string::npos) path = target.substr(slash);
    } else {
      stream.Write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    size_t colon = authority.rfind(':');
    std::string host = authority.substr(0, colon);
    uint16_t port = colon == std::string::npos ? 80 : static_cast<uint16_t>(std::stoi(authority.substr(colon + 1)));
    Fd upstream = ConnectTo(host, port);
    if (upstream.Get() < 0 || !service.Track(upstream.Get())) {
      stream.Write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    if (method == "CONNECT") {
      stream.Write("HTTP/1.1 200 Connection established\r\n\r\n");
      Pump(client, upstream.Get(), pending);
    } else {
      // One request per proxy connection, so every request is seen (and counted) here.
      std::string forwarded = method + " " + path + " " + version + "\r\n";
      for (const auto& [name, value] : headers)
        if (!EqualsNoCase(name, "Proxy-Connection") && !EqualsNoCase(name, "Connection")) forwarded += name + ": " + value + "\r\n";
      forwarded += "Connection: close\r\n\r\n" + pending;
      Pump(client, upstream.Get(), forwarded);
    }
    service.Untrack(upstream.Get());
  }
};

HttpTestProxy::HttpTestProxy() : impl_(std::make_unique<Impl>()) {}
HttpTestProxy::~HttpTestProxy() { Stop(); }
bool HttpTestProxy::Start() {
  return impl_->service.Start([this](int fd, int number) { impl_->Relay(fd, number); });
}
void HttpTestProxy::Stop() { impl_->service.Stop(); }
uint16_t HttpTestProxy::Port() const { return impl_->service.Port(); }
std::string HttpTestProxy::Address() const { return "127.0.0.1:" + std::to_string(Port()); }
int HttpTestProxy::RelayCount() const {
  std::lock_guard guard(impl_->lock);
  return static_cast<int>(impl_->requestLines.size());
}
std::vector<std::string> HttpTestProxy::RelayedRequestLines() const {
  std::lock_guard guard(impl_->lock);
  return impl_->requestLines;
}

}  // namespace Kestrilon::Testing
