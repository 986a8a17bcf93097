// The download agent against real servers on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "net/http.h"
#include "platform/fs/fs.h"
#include "net_fixture.h"
#include "support/http_test_server.h"

namespace Kestrilon::Network {
namespace {

using Testing::GeneratedBody;
using Testing::HttpTestServer;
using Testing::TestHttpRequest;
using Testing::TestHttpResponse;

std::u16string Wide(const std::string& text) { return Platform::ToUtf16(text); }

class DownloadAgentTest : public NetworkImageTest {
 protected:
  void SetUp() override {
    NetworkImageTest::SetUp();
    for (HttpTestServer* server : {&server_, &other_}) {
      server->Route("/cfg.xml", [](const TestHttpRequest&, TestHttpResponse& response) { response.body = "<cfg/>"; });
      server->Route("/dir/a.bin", [](const TestHttpRequest&, TestHttpResponse& response) { response.body = "A"; });
      server->Route("/dir/a.binb.bin", [](const TestHttpRequest&, TestHttpResponse& response) { response.body = "AB"; });
      server->Route("/missing", [](const TestHttpRequest&, TestHttpResponse& response) {
        response.status = 404;
        response.body = "gone";
      });
      server->Route("/short", [](const TestHttpRequest&, TestHttpResponse& response) {
        response.body = "0123456789";
        response.announcedLength = 20;
      });
      server->Route("/unsized", [](const TestHttpRequest&, TestHttpResponse& response) {
        response.body = GeneratedBody(5000);
        response.sendContentLength = false;
        response.chunkSize = 1000;
      });
      server->Route("/big", [](const TestHttpRequest&, TestHttpResponse& response) {
        response.generatedLength = 30'000'000;  // past 21,474,836 bytes, where done * 100 leaves 32 bits
      });
      ASSERT_TRUE(server->Start());
    }
  }

  HttpTestServer server_;
  HttpTestServer other_;
  Testing::TempDir files_{"kestrilon-downloads"};
};

TEST_F(DownloadAgentTest, FetchSendsPathWithoutQueryAsPlainGet) {
  CWinHttpAgent agent;
  std::string body;
  int32_t status = 0;
  EXPECT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml?v=2#frag")), body, &status), Platform::S_OK);
  EXPECT_EQ(body, "<cfg/>");
  EXPECT_EQ(status, 200);
  std::vector<TestHttpRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/cfg.xml");
  EXPECT_EQ(requests[0].Header("User-Agent"), "Mozilla/5.0");
  EXPECT_FALSE(requests[0].HasHeader("Accept"));
}

TEST_F(DownloadAgentTest, ErrorStatusIsSuccessWithEmptyBody) {
  CWinHttpAgent agent;
  std::string body;
  int32_t status = 0;
  EXPECT_EQ(agent.FetchToMemory(Wide(server_.Url("/missing")), body, &status), Platform::S_OK);
  EXPECT_EQ(status, 404);
  EXPECT_TRUE(body.empty());
}

TEST_F(DownloadAgentTest, KeepsOneConnectionPerHostAndPort) {
  CWinHttpAgent agent;
  std::string body;
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/missing")), body), Platform::S_OK);
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  EXPECT_EQ(server_.ConnectionCount(), 1);
  std::vector<TestHttpRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].connection, 1);

  // Another port of the same host: a new connection, and the base path starts again from there.
  ASSERT_EQ(agent.FetchToMemory(Wide(other_.Url("/dir/a.bin")), body), Platform::S_OK);
  EXPECT_EQ(other_.ConnectionCount(), 1);
  ASSERT_EQ(agent.FetchToMemory(u"b.bin", body), Platform::S_OK);  // below the base path "/dir/a.bin"
  EXPECT_EQ(body, "AB");
  EXPECT_EQ(other_.ConnectionCount(), 1);
  EXPECT_EQ(other_.Requests().back().target, "/dir/a.binb.bin");

  // Back to the first server: its old connection was closed, so a second one opens.
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  EXPECT_EQ(server_.ConnectionCount(), 2);
}

TEST_F(DownloadAgentTest, RelativeUrlWithoutConnectionFails) {
  CWinHttpAgent agent;
  std::string body;
  EXPECT_LT(agent.FetchToMemory(u"cfg.xml", body), 0);
  EXPECT_EQ(agent.ResolveRequestPath(u"cfg.xml"), u"cfg.xml");
}

TEST_F(DownloadAgentTest, RefusedDownloadMakesNoFile) {
  CWinHttpAgent agent;
  std::vector<DownloadProgress> notes;
  DownloadJob job{Wide(server_.Url("/missing")), Platform::ToUtf16((files_ / "setup.exe").string()),
                  [&](const DownloadProgress& p) { notes.push_back(p); }, 77};
  EXPECT_EQ(agent.DownloadToFile(job), Platform::S_OK);
  EXPECT_FALSE(std::filesystem::exists(files_ / "setup.exe"));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_FALSE(notes[0].hasProgress);
  EXPECT_EQ(notes[0].total, 0);
  EXPECT_EQ(notes[0].userData, 77u);
  EXPECT_EQ(notes[0].url, job.url);
  EXPECT_EQ(notes[0].file, job.file);
}

TEST_F(DownloadAgentTest, ShortBodyFailsAndKeepsThePartialFile) {
  CWinHttpAgent agent;
  std::vector<DownloadProgress> notes;
  std::filesystem::path file = files_ / "short.bin";
  std::filesystem::create_directories(files_.Path());
  Testing::WriteFileText(file, std::string(100, 'x'));  // truncated by the download
  DownloadJob job{Wide(server_.Url("/short")), Platform::ToUtf16(file.string()),
                  [&](const DownloadProgress& p) { notes.push_back(p); }, 0};
  EXPECT_EQ(agent.DownloadToFile(job), Platform::E_FAIL);
  EXPECT_EQ(Testing::ReadFileText(file), "0123456789");
  ASSERT_GE(notes.size(), 2u);
  EXPECT_TRUE(notes.front().hasProgress);
  EXPECT_EQ(notes.front().total, 20);
  const DownloadProgress& last = notes.back();
  EXPECT_FALSE(last.hasProgress);
  EXPECT_EQ(last.done, 0);
  EXPECT_EQ(last.total, 20);

  // Memory fetches fail the same way, so a cut-off document is never taken for a whole one.
  std::string body;
  EXPECT_EQ(agent.FetchToMemory(Wide(server_.Url("/short")), body), Platform::E_FAIL);
}

TEST_F(DownloadAgentTest, LargeDownloadReportsPercentagesWithoutOverflow) {
  CWinHttpAgent agent;
  int chunks = 0;
  int32_t lastPercent = -1;
  bool monotonic = true;
  DownloadProgress finished;
  DownloadJob job{Wide(server_.Url("/big")), u"/dev/null", [&](const DownloadProgress& p) {
                    if (p.hasProgress && p.done != p.total) ++chunks;
                    monotonic = monotonic && p.percent >= lastPercent && p.percent >= 0 && p.percent <= 100;
                    lastPercent = p.percent;
                    finished = p;
                  }};
  EXPECT_EQ(agent.DownloadToFile(job), Platform::S_OK);
  EXPECT_GT(chunks, 10);
  EXPECT_TRUE(monotonic);
  EXPECT_TRUE(finished.hasProgress);
  EXPECT_EQ(finished.done, 30'000'000);
  EXPECT_EQ(finished.total, 30'000'000);
  EXPECT_EQ(finished.percent, 100);
}

TEST_F(DownloadAgentTest, UnsizedDownloadFinishesWithTotalZero) {
  CWinHttpAgent agent;
  std::vector<DownloadProgress> notes;
  // A Windows path lands in the image's drive.
  std::filesystem::path file = Platform::ToHostPath(u"C:\\unsized.bin");
  ASSERT_FALSE(file.empty());
  DownloadJob job{Wide(server_.Url("/unsized")), u"C:\\unsized.bin",
                  [&](const DownloadProgress& p) { notes.push_back(p); }};
  EXPECT_EQ(agent.DownloadToFile(job), Platform::S_OK);
  EXPECT_EQ(Testing::ReadFileText(file), GeneratedBody(5000));
  ASSERT_FALSE(notes.empty());
  EXPECT_TRUE(notes.back().hasProgress);
  EXPECT_EQ(notes.back().done, 5000);
  EXPECT_EQ(notes.back().total, 0);
  EXPECT_EQ(notes.back().percent, 0);
}

TEST_F(DownloadAgentTest, UncreatableFileGivesCreationErrorAndFailureNote) {
  CWinHttpAgent agent;
  std::vector<DownloadProgress> notes;
  DownloadJob job{Wide(server_.Url("/cfg.xml")), Platform::ToUtf16((files_ / "no" / "such" / "dir" / "f").string()),
                  [&](const DownloadProgress& p) { notes.push_back(p); }};
  EXPECT_EQ(agent.DownloadToFile(job), Platform::HResultFromWin32(Platform::ERROR_PATH_NOT_FOUND));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_FALSE(notes[0].hasProgress);
}

TEST_F(DownloadAgentTest, SilentServerTimesOutAndSlowServerDoesNot) {
  server_.Route("/silent", [](const TestHttpRequest&, TestHttpResponse& response) {
    response.delayBeforeResponse = std::chrono::seconds(20);
  });
  server_.Route("/stalls", [](const TestHttpRequest&, TestHttpResponse& response) {
    response.body = GeneratedBody(1000);
    response.chunkSize = 500;
    response.delayBetweenChunks = std::chrono::seconds(20);
  });
  server_.Route("/trickle", [](const TestHttpRequest&, TestHttpResponse& response) {
    response.body = GeneratedBody(40);
    response.chunkSize = 10;
    response.delayBetweenChunks = std::chrono::milliseconds(300);  // steady, though slow
  });
  CWinHttpAgent agent;
  HttpTimeouts timeouts;
  timeouts.receive = std::chrono::seconds(1);
  timeouts.send = std::chrono::seconds(1);
  agent.SetTimeouts(timeouts);
  const HRESULT timedOut = Platform::HResultFromWin32(ERROR_WINHTTP_TIMEOUT);

  std::string body;
  EXPECT_EQ(agent.FetchToMemory(Wide(server_.Url("/silent")), body), timedOut);
  EXPECT_EQ(agent.FetchToMemory(Wide(server_.Url("/stalls")), body), Platform::E_FAIL);  // half the body came
  EXPECT_EQ(agent.FetchToMemory(Wide(server_.Url("/trickle")), body), Platform::S_OK);
  EXPECT_EQ(body, GeneratedBody(40));

  std::vector<DownloadProgress> notes;
  DownloadJob job{Wide(server_.Url("/silent")), Platform::ToUtf16((files_ / "silent.bin").string()),
                  [&](const DownloadProgress& p) { notes.push_back(p); }};
  EXPECT_EQ(agent.DownloadToFile(job), timedOut);
  EXPECT_TRUE(notes.empty());  // no status was read: no notification
}

// A listener that never accepts, with its queue already full: connection attempts get no answer.
class UnansweredListener {
 public:
  UnansweredListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 0) != 0) return;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    for (int& filler : fillers_) {
      filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~UnansweredListener() {
    for (int filler : fillers_) ::close(filler);
    ::close(listener_);
  }
  uint16_t Port() const { return port_; }

 private:
  int listener_ = -1;
  int fillers_[3] = {-1, -1, -1};
  uint16_t port_ = 0;
};

TEST_F(DownloadAgentTest, ConnectLimitEndsAnUnansweredConnection) {
  UnansweredListener listener;
  ASSERT_NE(listener.Port(), 0);
  CWinHttpAgent agent;
  HttpTimeouts timeouts;
  timeouts.connect = std::chrono::seconds(1);
  agent.SetTimeouts(timeouts);
  std::string body;
  EXPECT_EQ(agent.FetchToMemory(u"http://127.0.0.1:" + Wide(std::to_string(listener.Port())) + u"/cfg.xml", body),
            Platform::HResultFromWin32(ERROR_WINHTTP_TIMEOUT));
}

TEST_F(DownloadAgentTest, AcceptStatusCanSkipTheBody) {
  struct Picky : CWinHttpAgent {
    bool AcceptStatus(CWinHttpRequest&, int32_t status) override {
      seen.push_back(status);
      return false;
    }
    std::vector<int32_t> seen;
  } agent;
  std::string body = "untouched";
  EXPECT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  EXPECT_EQ(body, "untouched");
  EXPECT_EQ(agent.seen, std::vector<int32_t>{200});
  EXPECT_EQ(agent.DownloadToFile(Wide(server_.Url("/cfg.xml")), Platform::ToUtf16((files_ / "x").string()), nullptr),
            Platform::S_OK);
  EXPECT_FALSE(std::filesystem::exists(files_ / "x"));
}

}  // namespace
}  // namespace Kestrilon::Network
