// Splitting URLs and choosing proxies: pure functions, no network.
#include <gtest/gtest.h>

#include "net/http.h"
#include "net/proxy_settings.h"

namespace Kestrilon::Network {
namespace {

struct SplitCase {
  std::u16string url;
  bool accepted;
  std::u16string host;
  uint16_t port;
  std::u16string path;
  bool secure;
};

TEST(SetRequestUrl, SplitsHttpAndHttpsUrls) {
  const SplitCase cases[] = {
      {u"HTTPS://example.test:8443/a/b?x=1", true, u"example.test", 8443, u"/a/b?x=1", true},
      {u"http://example.test/p?t=12:30", true, u"example.test", 80, u"/p?t=12:30", false},
      {u"https://example.test/", true, u"example.test", 443, u"/", true},
      {u"http://example.test:abc/x", true, u"example.test", 0, u"/x", false},
      {u"http://example.test:99999/x", true, u"example.test", 0, u"/x", false},
      {u"http://example.test", false, u"", 0, u"", false},
      {u"ftp://example.test/file", false, u"", 0, u"", false},
      {u"https:/", false, u"", 0, u"", false},
      {u"", false, u"", 0, u"", false},
  };
  for (const SplitCase& c : cases) {
    WebRequest request;
    request.host = u"stale";
    request.path = u"/stale";
    request.port = 1;
    request.secure = true;
    EXPECT_EQ(SetRequestUrl(request, c.url), c.accepted);
    EXPECT_EQ(request.host, c.host);
    EXPECT_EQ(request.port, c.port);
    EXPECT_EQ(request.path, c.path);
    EXPECT_EQ(request.secure, c.secure);
  }
}

TEST(CrackUrl, SeparatesPathFromQueryAndFragment) {
  UrlParts parts = CrackUrl("https://user:pw@Example.test:8443/cfg.xml?v=2#top");
  ASSERT_TRUE(parts.valid);
  EXPECT_EQ(parts.scheme, "https");
  EXPECT_EQ(parts.host, "Example.test");  // case kept: connections compare hosts exactly
  EXPECT_EQ(parts.port, 8443);
  EXPECT_EQ(parts.path, "/cfg.xml");
  EXPECT_EQ(parts.extra, "?v=2#top");

  parts = CrackUrl("http://example.test?x");
  ASSERT_TRUE(parts.valid);
  EXPECT_EQ(parts.port, 80);
  EXPECT_EQ(parts.path, "");
  EXPECT_EQ(parts.extra, "?x");

  EXPECT_FALSE(CrackUrl("http://example.test:70000/").valid);
  EXPECT_FALSE(CrackUrl("file:///etc/hosts").valid);
  EXPECT_FALSE(CrackUrl("http:///path").valid);
}

struct ProxyCase {
  const char* server;
  const char* bypass;
  const char* url;
  const char* expected;
};

TEST(NamedProxyFor, FollowsServerFormsAndBypassList) {
  const ProxyCase cases[] = {
      {"proxy.test:3128", "", "http://bank.test/x", "http://proxy.test:3128"},
      {"proxy.test:3128", "", "https://bank.test/x", "http://proxy.test:3128"},
      {"http=hp.test:1;https=sp.test:2", "", "http://bank.test/", "http://hp.test:1"},
      {"http=hp.test:1;https=sp.test:2", "", "https://bank.test/", "http://sp.test:2"},
      {"https=sp.test:2", "", "http://bank.test/", ""},  // no proxy named for http
      {"http=http://hp.test:1", "", "http://bank.test/", "http://hp.test:1"},
      {"proxy.test:3128", "<local>", "http://intranet/x", ""},
      {"proxy.test:3128", "<local>", "http://bank.test/x", "http://proxy.test:3128"},
      {"proxy.test:3128", "*.bank.test; 10.*", "http://www.BANK.test/x", ""},
      {"proxy.test:3128", "*.bank.test;10.*", "http://10.1.2.3/x", ""},
      {"proxy.test:3128", "*.bank.test", "http://bank.test.evil/x", "http://proxy.test:3128"},
      {"proxy.test:3128", "https://*.bank.test", "http://www.bank.test/", "http://proxy.test:3128"},
      {"proxy.test:3128", "https://*.bank.test", "https://www.bank.test/", ""},
      {"proxy.test:3128", "bank.test:8080", "http://bank.test:8080/", ""},
      {"proxy.test:3128", "bank.test:8080", "http://bank.test/", "http://proxy.test:3128"},
      {"", "", "http://bank.test/", ""},
  };
  for (const ProxyCase& c : cases) {
    ProxySettings settings;
    settings.proxyServer = c.server;
    settings.bypassList = c.bypass;
    EXPECT_EQ(NamedProxyFor(settings, c.url), c.expected) << c.server << " | " << c.bypass << " | " << c.url;
  }
}

}  // namespace
}  // namespace Kestrilon::Network
