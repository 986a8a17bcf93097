// Loading the configuration from a loopback server, its cached copy and local files, and the commands
// get_config and get_data through the console host.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <mutex>
#include <vector>

#include "config/config.h"
#include "platform/fs/fs.h"
#include "platform/status.h"
#include "platform/text/text.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"
#include "support/temp_machine.h"
#include "ui/host/console_host.h"
#include "ui/host/host.h"

namespace Kestrilon::Config {
namespace {

using Testing::HttpTestServer;
using Testing::TempMachine;
using Testing::TestHttpRequest;
using Testing::TestHttpResponse;

const char kDocument[] = R"(<?xml version="1.0" encoding="utf-8"?>
<checkitems version="7">
  <item name="early"/>
  <data name="help">https://bank.example/help</data>
  <item name="网银控件" type="1" keyid="0x096E0713" flag="2"><installer url="setup.exe"/></item>
  <item name="second" type="2"/>
</checkitems>)";

std::u16string U16(const std::string& text) { return Platform::ToUtf16(text); }

std::filesystem::path HostPath(const std::u16string& windowsPath) { return Platform::ToHostPath(windowsPath); }

class ConfigLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Route("/dir/sub/config.xml", [this](const TestHttpRequest&, TestHttpResponse& response) {
      std::lock_guard lock(mutex_);
      response.status = status_;
      response.body = body_;
    });
    ASSERT_TRUE(server_.Start());
    url_ = U16(server_.Url("/dir/sub/config.xml"));
  }

  void Serve(int status, std::string body) {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
  }

  TempMachine machine_;
  HttpTestServer server_;
  std::mutex mutex_;
  int status_ = 200;
  std::string body_ = kDocument;
  std::u16string url_;
};

TEST_F(ConfigLoaderTest, DownloadsKeepsTheCachedCopyAndFallsBackToIt) {
  EXPECT_EQ(LoadConfiguration(url_), 0);
  const Configuration& config = TheConfiguration();
  EXPECT_EQ(config.ItemCount(), 2u);
  EXPECT_EQ(config.GetDocumentAttribute("base"), server_.Url("/dir/sub/"));
  EXPECT_EQ(config.ResolveUrl("setup.exe"), server_.Url("/dir/sub/setup.exe"));

  const std::u16string cache = CachedCopyPath(url_);
  ASSERT_FALSE(cache.empty());
  EXPECT_NE(cache.find(u"\\Content.IE5\\"), std::u16string::npos);
  EXPECT_EQ(Testing::ReadFileText(HostPath(cache)), kDocument);
  // No temporary file is left beside the cached copy.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(HostPath(cache).parent_path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);

  server_.Stop();
  EXPECT_EQ(LoadConfiguration(url_), 1);
  EXPECT_EQ(TheConfiguration().ItemCount(), 2u);
  EXPECT_EQ(TheConfiguration().GetDataValue("help"), "https://bank.example/help");
}

TEST_F(ConfigLoaderTest, CacheNameIsTheMd5OfTheUrl) {
  const std::u16string cache = CachedCopyPath(u"https://bank.example/config.xml");
  EXPECT_TRUE(cache.ends_with(u"\\INetCache\\Content.IE5\\23495364400246f1168ca51e8583f26f.mdc"))
      << Platform::ToUtf8(cache);
}

TEST_F(ConfigLoaderTest, SchemeIsRecognisedWithoutCase) {
  std::u16string upper = url_;
  for (size_t i = 0; i < 4; ++i) upper[i] = static_cast<char16_t>(upper[i] - 32);  // "HTTP://..."
  EXPECT_EQ(LoadConfiguration(upper), 0);
  EXPECT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(TheConfiguration().ItemCount(), 2u);
}

TEST_F(ConfigLoaderTest, ErrorPagesAndForeignBodiesNeverReplaceTheCachedCopy) {
  ASSERT_EQ(LoadConfiguration(url_), 0);
  const std::filesystem::path cache = HostPath(CachedCopyPath(url_));

  Serve(404, "<html>not found</html>");
  EXPECT_EQ(LoadConfiguration(url_), 1);  // an error status counts as a failed download
  EXPECT_EQ(TheConfiguration().ItemCount(), 2u);

  Serve(200, "<html><body>sign in to the hotel network</body></html>");
  EXPECT_LT(LoadConfiguration(url_), 0);  // not the configuration
  EXPECT_EQ(Testing::ReadFileText(cache), kDocument);

  server_.Stop();
  EXPECT_EQ(LoadConfiguration(url_), 1);
}

TEST_F(ConfigLoaderTest, FailsWithoutServerOrCachedCopy) {
  server_.Stop();
  EXPECT_LT(LoadConfiguration(url_), 0);
  EXPECT_EQ(TheConfiguration().ItemCount(), 0u);
}

TEST_F(ConfigLoaderTest, LocalFiles) {
  const std::filesystem::path folder = machine_.DriveC("Bank");
  Testing::WriteFileText(folder / "config.xml", kDocument);
  Testing::WriteFileText(folder / "broken.xml", "<checkitems><item name='x'></checkitems>");
  Testing::WriteFileText(folder / "other.xml", "<configuration><item name='x'/></configuration>");

  EXPECT_EQ(LoadConfiguration(u"C:\\Bank\\config.xml"), 0);  // a Windows path, any case
  EXPECT_EQ(TheConfiguration().ItemCount(), 2u);
  EXPECT_EQ(TheConfiguration().GetDocumentAttribute("base"), "");
  EXPECT_EQ(LoadConfiguration(U16((folder / "config.xml").string())), 0);  // a host path
  EXPECT_LT(LoadConfiguration(u"C:\\Bank\\missing.xml"), 0);
  EXPECT_LT(LoadConfiguration(u"C:\\Bank\\broken.xml"), 0);
  EXPECT_LT(LoadConfiguration(u"C:\\Bank\\other.xml"), 0);
  EXPECT_EQ(TheConfiguration().ItemCount(), 0u);
}

// The page calls and messages of the console host, as JSON events.
class RecordingHost {
 public:
  RecordingHost()
      : host_([this](const nlohmann::ordered_json& event) { Record(event); }),
        presenter_([this](const nlohmann::ordered_json& event) { Record(event); }, false) {
    UI::SetApplicationDialog(&host_);
    UI::SetMessagePresenter(&presenter_);
  }
  ~RecordingHost() {
    UI::SetApplicationDialog(nullptr);
    UI::SetMessagePresenter(nullptr);
  }
  std::vector<nlohmann::ordered_json> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  void Record(const nlohmann::ordered_json& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::mutex mutex_;
  std::vector<nlohmann::ordered_json> events_;
  UI::ConsoleHost host_;
  UI::ConsolePresenter presenter_;
};

TEST_F(ConfigLoaderTest, GetConfigPublishesEveryItemThenTheKeyState) {
  RecordingHost host;
  bool quit = false;
  EXPECT_TRUE(GetConfigCommand(url_, [&] { quit = true; }).IsEmpty());
  EXPECT_FALSE(quit);
  const auto events = host.Events();
  ASSERT_EQ(events.size(), 9u);
  const char* properties[] = {"name", "type", "keyid", "flag"};
  const char* values[] = {"网银控件", "1", "0x096E0713", "2", "second", "2", "", ""};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(events[i]["page"], "setItemInfo") << events[i].dump();
    const std::string args = events[i]["args"].dump();
    EXPECT_NE(args.find(std::to_string(i / 4)), std::string::npos) << args;
    EXPECT_NE(args.find(std::string("\"") + properties[i % 4] + "\""), std::string::npos) << args;
    EXPECT_NE(args.find(std::string("\"") + values[i] + "\""), std::string::npos) << args;
  }
  EXPECT_EQ(events[8]["page"], "isAnyKeyConnect");
  EXPECT_EQ(events[8]["args"].size(), 0u);
}

TEST_F(ConfigLoaderTest, GetConfigFailureShowsTheMessageAndQuits) {
  server_.Stop();
  RecordingHost host;
  int quits = 0;
  EXPECT_TRUE(GetConfigCommand(url_, [&] { ++quits; }).IsEmpty());
  EXPECT_EQ(quits, 1);
  const auto events = host.Events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_TRUE(events[0].contains("message")) << events[0].dump();
  EXPECT_EQ(events[0]["message"]["content"], "获取配置失败，请检查您的网络。");
  EXPECT_EQ(events[0]["message"]["instruction"], "错误");
  EXPECT_EQ(events[0]["message"]["icon"], 5);
}

TEST_F(ConfigLoaderTest, GetDataAnswersNamedTexts) {
  ASSERT_EQ(LoadConfiguration(url_), 0);
  const UI::ScriptValue help = GetDataCommand(UI::ScriptValue::String(u"help"));
  ASSERT_TRUE(help.IsString());
  EXPECT_EQ(help.AsString(), u"https://bank.example/help");
  const UI::ScriptValue missing = GetDataCommand(UI::ScriptValue::String(u"nosuch"));
  ASSERT_TRUE(missing.IsString());
  EXPECT_EQ(missing.AsString(), u"");
  EXPECT_TRUE(GetDataCommand(UI::ScriptValue::I4(6)).IsEmpty());
}

}  // namespace
}  // namespace Kestrilon::Config
