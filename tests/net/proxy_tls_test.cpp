// The agent's proxy settings and TLS trust, both taken from the machine image.
#include <gtest/gtest.h>

#include <filesystem>

#include "net/http.h"
#include "net_fixture.h"
#include "platform/certstore/certstore.h"
#include "support/http_test_server.h"

namespace Kestrilon::Network {
namespace {

using Testing::HttpTestProxy;
using Testing::HttpTestServer;
using Testing::TestHttpRequest;
using Testing::TestHttpResponse;

std::u16string Wide(const std::string& text) { return Platform::ToUtf16(text); }

void ServeDocument(HttpTestServer& server) {
  server.Route("/cfg.xml", [](const TestHttpRequest&, TestHttpResponse& response) { response.body = "<cfg/>"; });
}

class ProxyTest : public NetworkImageTest {
 protected:
  void SetUp() override {
    NetworkImageTest::SetUp();
    ServeDocument(server_);
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(proxy_.Start());
  }
  HttpTestServer server_;
  HttpTestProxy proxy_;
};

TEST_F(ProxyTest, NamedProxyCarriesTheRequest) {
  EnableProxy(proxy_.Address());
  CWinHttpAgent agent;
  std::string body;
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml?v=1")), body), Platform::S_OK);
  EXPECT_EQ(body, "<cfg/>");
  ASSERT_EQ(proxy_.RelayCount(), 1);
  EXPECT_EQ(proxy_.RelayedRequestLines()[0], "GET " + server_.Url("/cfg.xml") + " HTTP/1.1");
  EXPECT_EQ(server_.Requests().size(), 1u);
}

TEST_F(ProxyTest, BypassListAndSchemeFormGoDirect) {
  EnableProxy(proxy_.Address(), "127.0.0.*;<local>");
  {
    CWinHttpAgent agent;
    std::string body;
    ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  }
  EnableProxy("https=" + proxy_.Address());  // a proxy for https only; the bypass list stays
  SetInternetSetting(u"ProxyOverride", "");
  {
    CWinHttpAgent agent;
    std::string body;
    ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  }
  EXPECT_EQ(proxy_.RelayCount(), 0);
  EXPECT_EQ(server_.Requests().size(), 2u);
}

TEST_F(ProxyTest, DisabledProxyIsNotUsed) {
  EnableProxy(proxy_.Address());
  Platform::RegistryKey key;
  ASSERT_EQ(Platform::RegistryKey::Open(Platform::HKEY_CURRENT_USER, kInternetSettings, Platform::KEY_ALL_ACCESS, key),
            Platform::ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(u"ProxyEnable", 0), Platform::ERROR_SUCCESS);
  CWinHttpAgent agent;
  std::string body;
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  EXPECT_EQ(proxy_.RelayCount(), 0);
}

TEST_F(ProxyTest, AutoConfigScriptChoosesThePerUrlProxy) {
  HttpTestServer scripts;
  std::string script = "function FindProxyForURL(url, host) {\n"
                       "  if (shExpMatch(url, '*/direct/*')) return 'DIRECT';\n"
                       "  return 'PROXY " + proxy_.Address() + "';\n}\n";
  scripts.Route("/proxy.pac", [script](const TestHttpRequest&, TestHttpResponse& response) {
    response.headers.emplace_back("Content-Type", "application/x-ns-proxy-autoconfig");
    response.body = script;
  });
  server_.Route("/direct/cfg.xml", [](const TestHttpRequest&, TestHttpResponse& response) { response.body = "d"; });
  ASSERT_TRUE(scripts.Start());
  SetInternetSetting(u"AutoConfigURL", scripts.Url("/proxy.pac"));

  CWinHttpAgent agent;
  std::string body;
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/cfg.xml")), body), Platform::S_OK);
  EXPECT_EQ(body, "<cfg/>");
  EXPECT_EQ(proxy_.RelayCount(), 1);
  ASSERT_EQ(agent.FetchToMemory(Wide(server_.Url("/direct/cfg.xml")), body), Platform::S_OK);
  EXPECT_EQ(body, "d");
  EXPECT_EQ(proxy_.RelayCount(), 1);
  EXPECT_EQ(server_.Requests().size(), 2u);
}

class TlsTest : public NetworkImageTest {
 protected:
  void SetUp() override {
    NetworkImageTest::SetUp();
    server_ = std::make_unique<HttpTestServer>(authority_.IssueServerIdentity());
    ServeDocument(*server_);
    ASSERT_TRUE(server_->Start());
  }
  Testing::TestCertificateAuthority authority_;
  std::unique_ptr<HttpTestServer> server_;
};

TEST_F(TlsTest, TrustComesFromTheImageRootStore) {
  const HRESULT refused = Platform::HResultFromWin32(ERROR_WINHTTP_SECURE_FAILURE);
  std::string body;
  {
    CWinHttpAgent agent;
    EXPECT_EQ(agent.FetchToMemory(Wide(server_->Url("/cfg.xml")), body), refused);
  }
  EXPECT_FALSE(HttpPostCommand(UI::ScriptValue::String(Wide(server_->Url("/cfg.xml")))).AsString() == u"<cfg/>");

  ASSERT_EQ(Platform::AddStoreCertificate(Platform::CertStoreLocation::CurrentUser, u"Root", authority_.CertificateDer()),
            Platform::ERROR_SUCCESS);
  {
    CWinHttpAgent agent;
    EXPECT_EQ(agent.FetchToMemory(Wide(server_->Url("/cfg.xml")), body), Platform::S_OK);
    EXPECT_EQ(body, "<cfg/>");
  }
  EXPECT_EQ(HttpPostCommand(UI::ScriptValue::String(Wide(server_->Url("/cfg.xml")))).AsString(), u"<cfg/>");

  // The machine's store counts too, and a removed root is no longer trusted.
  ASSERT_EQ(Platform::RemoveStoreCertificate(Platform::CertStoreLocation::CurrentUser, u"ROOT", authority_.CertificateDer()),
            Platform::ERROR_SUCCESS);
  {
    CWinHttpAgent agent;
    EXPECT_EQ(agent.FetchToMemory(Wide(server_->Url("/cfg.xml")), body), refused);
  }
  ASSERT_EQ(Platform::AddStoreCertificate(Platform::CertStoreLocation::LocalMachine, u"ROOT", authority_.CertificateDer()),
            Platform::ERROR_SUCCESS);
  {
    CWinHttpAgent agent;
    EXPECT_EQ(agent.FetchToMemory(Wide(server_->Url("/cfg.xml")), body), Platform::S_OK);
  }
}

TEST_F(TlsTest, HttpsThroughProxyTunnel) {
  ASSERT_EQ(Platform::AddStoreCertificate(Platform::CertStoreLocation::CurrentUser, u"ROOT", authority_.CertificateDer()),
            Platform::ERROR_SUCCESS);
  HttpTestProxy proxy;
  ASSERT_TRUE(proxy.Start());
  EnableProxy("http=127.0.0.1:9;https=" + proxy.Address());
  CWinHttpAgent agent;
  std::string body;
  ASSERT_EQ(agent.FetchToMemory(Wide(server_->Url("/cfg.xml")), body), Platform::S_OK);
  EXPECT_EQ(body, "<cfg/>");
  ASSERT_EQ(proxy.RelayCount(), 1);
  EXPECT_EQ(proxy.RelayedRequestLines()[0].rfind("CONNECT 127.0.0.1:" + std::to_string(server_->Port()), 0), 0u);

  // The tunnel's own "200 Connection established" is not the server's answer: a refused download
  // through the tunnel still makes no file.
  Testing::TempDir files;
  std::vector<DownloadProgress> notes;
  DownloadJob job{Wide(server_->Url("/missing")), Platform::ToUtf16((files / "setup.exe").string()),
                  [&](const DownloadProgress& p) { notes.push_back(p); }};
  HttpTestProxy fresh;  // a new tunnel, so the refusal arrives right after the tunnel's reply
  ASSERT_TRUE(fresh.Start());
  EnableProxy("https=" + fresh.Address());
  CWinHttpAgent tunnelled;
  EXPECT_EQ(tunnelled.DownloadToFile(job), Platform::S_OK);
  EXPECT_FALSE(std::filesystem::exists(files / "setup.exe"));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_FALSE(notes[0].hasProgress);
  EXPECT_EQ(fresh.RelayCount(), 1);
}

}  // namespace
}  // namespace Kestrilon::Network
