// The one-shot facility and http_post against a real server on loopback.
#include <gtest/gtest.h>

#include "net/http.h"
#include "support/http_test_server.h"

namespace Kestrilon::Network {
namespace {

using Testing::HttpTestServer;
using Testing::TestHttpRequest;
using Testing::TestHttpResponse;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class WebRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Route("/answer", [](const TestHttpRequest&, TestHttpResponse& response) { response.body = "答复 ok"; });
    server_.Route("/missing", [](const TestHttpRequest&, TestHttpResponse& response) {
      response.status = 404;
      response.body = "no such page";
    });
    server_.Route("/broken", [](const TestHttpRequest&, TestHttpResponse& response) {
      response.status = 500;
      response.body = "server trouble";
    });
    server_.Route("/nul", [](const TestHttpRequest&, TestHttpResponse& response) {
      response.body = std::string("before\0after", 12);
    });
    server_.Route("/moved", [](const TestHttpRequest&, TestHttpResponse& response) {
      response.status = 302;
      response.headers.emplace_back("Location", "/answer");
    });
    ASSERT_TRUE(server_.Start());
  }

  std::u16string Post(const std::string& pathAndQuery) {
    UI::ScriptValue result = HttpPostCommand(UI::ScriptValue::String(Wide(server_.Url(pathAndQuery))));
    EXPECT_TRUE(result.IsString());
    return result.AsString();
  }

  HttpTestServer server_;
};

TEST_F(WebRequestTest, PostsWithoutBodyProxyOrExtraHeaders) {
  EXPECT_EQ(Post("/answer?id=7"), u"答复 ok");
  std::vector<TestHttpRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/answer?id=7");  // the one-shot facility sends the query
  EXPECT_EQ(requests[0].Header("User-Agent"), "tevk");
  EXPECT_FALSE(requests[0].HasHeader("Accept"));
  EXPECT_FALSE(requests[0].HasHeader("Content-Type"));
  EXPECT_EQ(requests[0].Header("Content-Length"), "0");
  EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(WebRequestTest, ErrorStatusBodiesAnswerLikeSuccess) {
  EXPECT_EQ(Post("/missing"), u"no such page");
  EXPECT_EQ(Post("/broken"), u"server trouble");

  WebRequest request;
  ASSERT_TRUE(SetRequestUrl(request, Wide(server_.Url("/missing"))));
  request.verb = u"POST";
  WebResponse response;
  EXPECT_TRUE(SendWebRequest(request, response));
  EXPECT_EQ(response.status, 404);
}

TEST_F(WebRequestTest, BodyEndsAtItsFirstNul) {
  WebRequest request;
  ASSERT_TRUE(SetRequestUrl(request, Wide(server_.Url("/nul"))));
  request.verb = u"POST";
  WebResponse response;
  ASSERT_TRUE(SendWebRequest(request, response));
  EXPECT_EQ(response.body.size(), 12u);  // the bytes stay whole
  EXPECT_EQ(DecodeBodyUtf8(response), u"before");
  EXPECT_EQ(Post("/nul"), u"before");
}

TEST_F(WebRequestTest, FollowsRedirectsAsAGet) {
  EXPECT_EQ(Post("/moved"), u"答复 ok");
  std::vector<TestHttpRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "GET");
}

TEST_F(WebRequestTest, AnswersEmptyTextWhenNothingCanBeAsked) {
  EXPECT_EQ(HttpPostCommand(UI::ScriptValue::I4(19)).AsString(), u"");
  EXPECT_TRUE(HttpPostCommand(UI::ScriptValue()).IsString());
  EXPECT_EQ(HttpPostCommand(UI::ScriptValue::String(u"ftp://127.0.0.1/x")).AsString(), u"");
  EXPECT_EQ(HttpPostCommand(UI::ScriptValue::String(u"http://127.0.0.1")).AsString(), u"");

  uint16_t port = server_.Port();
  server_.Stop();  // nothing listens there any more
  WebResponse response;
  WebRequest request;
  ASSERT_TRUE(SetRequestUrl(request, u"http://127.0.0.1:" + Wide(std::to_string(port)) + u"/answer"));
  request.verb = u"POST";
  EXPECT_FALSE(SendWebRequest(request, response));
  EXPECT_EQ(response.status, -1);
}

}  // namespace
}  // namespace Kestrilon::Network
