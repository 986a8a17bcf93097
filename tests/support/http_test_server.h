#pragma once
// Real HTTP and HTTPS servers on loopback for tests, a test certificate authority, and a small forward
// proxy.
//
//   HttpTestServer server;                       // or HttpTestServer server(ca.IssueServerIdentity());
//   server.Route("/cfg.xml", [](const TestHttpRequest& request, TestHttpResponse& response) {
//     response.body = "<config/>";
//   });
//   server.Start();                              // 127.0.0.1, an ephemeral port
//   Fetch(server.Url("/cfg.xml?v=2"));
//   server.Requests()[0].path == "/cfg.xml";  server.ConnectionCount() == 1;
//
// Handlers run on the connection's thread. Unrouted paths answer 404. Stop() (and the destructor)
// closes every connection and wakes any response that is waiting or trickling.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace Kestrilon::Testing {

struct TestHttpRequest {
  std::string method;
  std::string target;  // as on the request line
  std::string path;    // target up to "?"
  std::string query;   // after "?", without it
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  int connection = 0;  // 1 for the first connection the server accepted, and so on

  // The first header of that name (any case), empty when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

struct TestHttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // A streamed body of this many bytes of GeneratedBodyByte (instead of `body`), for large downloads.
  uint64_t generatedLength = 0;
  // Without Content-Length, the server ends the body by closing the connection.
  bool sendContentLength = true;
  // Announces this Content-Length whatever is sent; when it differs, the connection closes after the
  // body (so announcing more than is sent makes a short body).
  std::optional<uint64_t> announcedLength;
  std::chrono::milliseconds delayBeforeResponse{0};  // silence before the status line
  std::chrono::milliseconds delayBetweenChunks{0};   // a slow body
  size_t chunkSize = 64 * 1024;
  bool closeConnection = false;
};

using TestHttpHandler = std::function<void(const TestHttpRequest&, TestHttpResponse&)>;

// The byte at `offset` of a generated body, and a generated body held in memory.
char GeneratedBodyByte(uint64_t offset);
std::string GeneratedBody(uint64_t size);

// A certificate and its private key, PEM.
struct TestTlsIdentity {
  std::string certificatePem;
  std::string privateKeyPem;
};

// A root CA made for the test run (EC P-256), able to issue server certificates.
class TestCertificateAuthority {
 public:
  explicit TestCertificateAuthority(const std::string& commonName = "Kestrilon Test Root");
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  std::vector<uint8_t> CertificateDer() const;
  std::string CertificatePem() const;
  // A server certificate for these names (IP addresses become IP entries of the subject alt. name).
  TestTlsIdentity IssueServerIdentity(const std::vector<std::string>& names = {"127.0.0.1", "localhost"}) const;

  struct Keys;

 private:
  std::unique_ptr<Keys> keys_;
};

class HttpTestServer {
 public:
  HttpTestServer();                                // HTTP
  explicit HttpTestServer(TestTlsIdentity identity);  // HTTPS
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Exact path (without the query). May be called while running.
  void Route(const std::string& path, TestHttpHandler handler);
  // Binds 127.0.0.1 on an ephemeral port and serves; false when it cannot.
  bool Start();
  void Stop();

  uint16_t Port() const;
  bool IsSecure() const;
  // "http://127.0.0.1:<port>" (or https) followed by `pathAndQuery`.
  std::string Url(std::string_view pathAndQuery = "/") const;

  int ConnectionCount() const;  // connections accepted since Start
  std::vector<TestHttpRequest> Requests() const;
  void ClearRequests();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// A forward proxy on loopback: relays absolute-form requests (GET http://host:port/path) and CONNECT
// tunnels, counting each one.
class HttpTestProxy {
 public:
  HttpTestProxy();
  ~HttpTestProxy();
  HttpTestProxy(const HttpTestProxy&) = delete;
  HttpTestProxy& operator=(const HttpTestProxy&) = delete;

  bool Start();
  void Stop();
  uint16_t Port() const;
  std::string Address() const;  // "127.0.0.1:<port>"
  int RelayCount() const;
  // The request line of each relayed request ("GET http://127.0.0.1:8080/x HTTP/1.1", "CONNECT ...").
  std::vector<std::string> RelayedRequestLines() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace Kestrilon::Testing
