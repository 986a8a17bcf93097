// The page in the real window, driven through WebDriver as a user would: clicks, texts, classes.
// The host is the real window with a scripted command callback (scripted_page_host.cpp) for the
// answers a test puts before the page; commands it does not script run the real OnScriptCommand.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "page/webdriver_session.h"
#include "support/temp_dir.h"

namespace Kestrilon::Testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::vector<std::string> kRowTypes = {"registry", "host", "cfca", "level", "iehomepage", "compatibility",
                                            "trust", "cache", "connection", "url", "dns"};

// The host's two answer shapes, spaced exactly as the host formats them.
std::string TypeAnswer(const std::string& type, bool result) {
  return "{ \"type\" : \"" + type + "\", \"result\" : " + (result ? "true" : "false") + "}";
}
std::string IndexAnswer(int index, int status) {
  return "{ \"index\" : " + std::to_string(index) + ", \"result\" : " + std::to_string(status) + "}";
}

// A script in which every row passes and the configuration has the given items.
struct Script {
  json body = {{"answers", json::object()}, {"calls", json::object()}, {"sleep_ms", json::object()}};

  Script() {
    for (const std::string& type : kRowTypes) Answer("do_check " + type, TypeAnswer(type, true));
    Calls("get_config", json::array({json::array({"isAnyKeyConnect"})}));
  }
  Script& Answer(const std::string& key, json answer) { body["answers"][key] = std::move(answer); return *this; }
  Script& Calls(const std::string& key, json calls) { body["calls"][key] = std::move(calls); return *this; }
  Script& Sleep(const std::string& key, int ms) { body["sleep_ms"][key] = ms; return *this; }
  // get_config publishes the items as the host does, then asks for key detection.
  Script& Items(const std::vector<std::vector<std::string>>& items) {
    json calls = json::array();
    for (size_t i = 0; i < items.size(); ++i) {
      const char* names[] = {"name", "type", "keyid", "flag"};
      for (int f = 0; f < 4; ++f) calls.push_back(json::array({"setItemInfo", static_cast<int>(i), names[f], items[i][f]}));
    }
    calls.push_back(json::array({"isAnyKeyConnect"}));
    return Calls("get_config", calls);
  }
  Script& NoKeys() {
    Answer("is_key_connect 0x096E0713", false).Calls("is_key_connect 0x096E0713", json::array({json::array({"setKeyInfo", 0, "selected", false})}));
    return Answer("is_key_connect 0xD4490004", false)
        .Calls("is_key_connect 0xD4490004", json::array({json::array({"setKeyInfo", 1, "selected", false})}));
  }
};

class PageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { display_ = new VirtualDisplay(); }
  static void TearDownTestSuite() {
    delete display_;
    display_ = nullptr;
  }

  // Starts the host on the script; `word` is the program's one start-up argument, if any.
  void Start(const Script& script, const std::string& word = "") {
    ::setenv("KESTRILON_MACHINE", (dir_.Path() / "machine").c_str(), 1);
    scriptPath_ = (dir_.Path() / "script.json").string();
    journalPath_ = (dir_.Path() / "journal.jsonl").string();
    std::ofstream(scriptPath_) << script.body.dump(2);
    std::vector<std::string> args = {"--script", scriptPath_, "--journal", journalPath_};
    if (!word.empty()) args.insert(args.end(), {"--args", word});
    const std::string host = std::string(std::getenv("KESTRILON_BINARY_DIR")) + "/tests/scripted-page-host";
    page_ = std::make_unique<WebDriverSession>(host, args);
    ASSERT_TRUE(page_->Started()) << page_->StartError();
    ASSERT_TRUE(page_->WaitUntil([&] { return page_->Exists("check_text"); })) << "the page did not load";
  }

  void WaitForCheckAll() {
    ASSERT_TRUE(page_->WaitForText("check_text", "检测完毕！", 40s)) << "status line: " << page_->Text("check_text");
  }

  // The commands the page sent, in order.
  std::vector<json> Journal() {
    std::vector<json> lines;
    std::ifstream in(journalPath_);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
  }
  std::vector<std::string> Sent(const std::string& name) {
    std::vector<std::string> args;
    for (const json& line : Journal()) {
      if (line["name"] == name) args.push_back(line["a2"].is_string() ? line["a2"].get<std::string>() : line["a2"].dump());
    }
    return args;
  }

  static VirtualDisplay* display_;
  TempDir dir_;
  std::string scriptPath_, journalPath_;
  std::unique_ptr<WebDriverSession> page_;
};

VirtualDisplay* PageTest::display_ = nullptr;

constexpr const char* kPassText = "您的电脑已达到安全要求，可放心登录网银";
constexpr const char* kFailText = "对不起，您的电脑不符合安全要求，请修复";
constexpr const char* kOkColour = "rgb(245, 188, 76)";
constexpr const char* kRed = "rgb(255, 0, 0)";

TEST_F(PageTest, StartUpWordChoosesTheTab) {
  struct Case { std::string word; int tab; };
  for (const Case& c : std::vector<Case>{{"help", 4}, {"", 1}, {"ukey", 2}}) {
    SCOPED_TRACE("word '" + c.word + "'");
    ASSERT_NO_FATAL_FAILURE(Start(Script(), c.word));
    for (int tab = 1; tab <= 4; ++tab) {
      EXPECT_EQ(page_->HasClass("one" + std::to_string(tab), "navhover"), tab == c.tab) << "tab " << tab;
      EXPECT_EQ(page_->Displayed("con_one_" + std::to_string(tab)), tab == c.tab) << "pane " << tab;
    }
    page_.reset();
  }
}

TEST_F(PageTest, VersionTextsAreShortened) {
  struct Case { json ie, sys; std::string ieShown, sysShown; };
  const std::vector<Case> cases = {
      {"9.0.8112.16421", "Microsoft Windows 7 Professional Service Pack 1", "IE9", "Windows 7"},
      {"3.0", "Windows 10 Pro", "3.0", "Windows 10"},
      {nullptr, nullptr, "无", "无"},  // the host answers nothing: the page's default stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("ie " + c.ie.dump() + ", sys " + c.sys.dump());
    ASSERT_NO_FATAL_FAILURE(Start(Script().NoKeys().Answer("get_version ieversion", c.ie).Answer("get_version sysversion", c.sys)));
    ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());
    // Every row passed, so the groups are closed: the user opens the two that show the versions.
    page_->Click("jiance1");
    page_->Click("jiance3");
    EXPECT_TRUE(page_->HasClass("jiance1", "checkOpen"));
    EXPECT_TRUE(page_->Displayed("check_one3"));
      EXPECT_EQ(page_->Text("ie"), c.ieShown);
    EXPECT_EQ(page_->Text("sys"), c.sysShown);
    page_->Click("jiance1");
    EXPECT_FALSE(page_->Displayed("check_one1"));
    page_.reset();
  }
}

TEST_F(PageTest, EmptyConfigurationChecksTheElevenRowsToAFullBar) {
  ASSERT_NO_FATAL_FAILURE(Start(Script().NoKeys()));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());
  EXPECT_EQ(page_->Css("progressbar", "width"), "264px");
  EXPECT_EQ(page_->Text("check_result"), kPassText);
  EXPECT_EQ(page_->Css("check_result", "color"), kOkColour);
  EXPECT_TRUE(page_->Displayed("check_result"));
  for (int group = 1; group <= 4; ++group) {
    EXPECT_FALSE(page_->HasClass("jiance" + std::to_string(group), "checkOpen")) << group;
    EXPECT_FALSE(page_->Displayed("check_one" + std::to_string(group))) << group;
  }
  EXPECT_EQ(page_->Attribute("id_do_fix_all", "disabled"), "");
  // The footer follows the connection row.
  EXPECT_EQ(page_->Execute("return $('.textlianwang').text();"), "已联网");
  EXPECT_NE(page_->Execute("return $('.imglianwang').attr('src');").get<std::string>().find("images/anquan.png"),
            std::string::npos);

  // Start-up sends connection first; check all then visits the rows in table order, once each.
  std::vector<std::string> checks = Sent("do_check");
  ASSERT_EQ(checks.size(), 12u);
  EXPECT_EQ(checks[0], "connection");
  EXPECT_EQ(std::vector<std::string>(checks.begin() + 1, checks.end()), kRowTypes);
  bool savedFirstStart = false;
  for (const json& line : Journal()) {
    if (line["name"] == "save_settings" && line["a2"] == "IsFirstStart" && line["a3"] == false) savedFirstStart = true;
  }
  EXPECT_TRUE(savedFirstStart);

  // Each step and each painted answer is in the trace.
  std::vector<std::string> logs = Sent("set_Log");
  auto logged = [&](const std::string& text) {
    for (const std::string& l : logs) if (l.find(text) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(logged("send do_check registry"));
  EXPECT_TRUE(logged("answer do_check dns: " + TypeAnswer("dns", true) + " -> painted dns: pass"));
  EXPECT_TRUE(logged("check all done: pass"));
}

TEST_F(PageTest, FailuresOpenTheirGroupsAndARepairRepaintsTheRow) {
  Script script;
  script.NoKeys()
      .Answer("do_check trust", json::array({TypeAnswer("trust", false), TypeAnswer("trust", true)}))
      .Answer("do_fix trust", TypeAnswer("trust", true))
      .Answer("do_check registry", TypeAnswer("registry", false))
      .Answer("do_fix registry", TypeAnswer("registry", false))
      .Answer("do_check connection", TypeAnswer("connection", false));
  ASSERT_NO_FATAL_FAILURE(Start(script));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());

  EXPECT_EQ(page_->Text("check_result"), kFailText);
  EXPECT_EQ(page_->Css("check_result", "color"), kRed);
  EXPECT_TRUE(page_->HasClass("jiance1", "checkOpen"));  // registry
  EXPECT_TRUE(page_->Displayed("check_one1"));
  EXPECT_TRUE(page_->HasClass("jiance2", "checkOpen"));  // connection
  EXPECT_TRUE(page_->HasClass("jiance3", "checkOpen"));  // trust
  EXPECT_FALSE(page_->HasClass("jiance4", "checkOpen"));
  EXPECT_FALSE(page_->Displayed("check_one4"));
  EXPECT_EQ(page_->Execute("return $('.textlianwang').text();"), "未联网");
  EXPECT_NE(page_->Execute("return $('.imglianwang').attr('src');").get<std::string>().find("images/anquan1.png"),
            std::string::npos);
  EXPECT_EQ(page_->Text("trust_status"), "未加入");
  EXPECT_TRUE(page_->HasClass("trust_status", "hongse"));
  EXPECT_NE(page_->Css("trust_img", "background-image").find("images/false.png"), std::string::npos);
  // Rows that cannot be repaired get no button, even when they fail.
  EXPECT_EQ(page_->Execute("return $('#connection_fix button').length;"), 0);

  page_->ClickSelector("#trust_fix button");
  ASSERT_TRUE(page_->WaitForText("check_text", "网银可信站点加入成功！", 10s)) << page_->Text("check_text");
  EXPECT_EQ(page_->Text("trust_status"), "已加入");
  EXPECT_FALSE(page_->HasClass("trust_status", "hongse"));
  EXPECT_NE(page_->Css("trust_img", "background-image").find("images/true.png"), std::string::npos);
  EXPECT_EQ(page_->Execute("return $('#trust_fix button').length;"), 0);

  // A repair whose re-check still fails leaves the row red with its button.
  page_->ClickSelector("#registry_fix button");
  ASSERT_TRUE(page_->WaitForText("check_text", "注册表修复失败！", 10s)) << page_->Text("check_text");
  EXPECT_TRUE(page_->HasClass("registry_status", "hongse"));
  EXPECT_EQ(page_->Execute("return $('#registry_fix button').text();"), "修复 ");
}

TEST_F(PageTest, ItemWithANewerVersionIsInstalledWithProgress) {
  Script script;
  script.NoKeys()
      .Items({{"网银密码安全控件", "control", "", "safe"}})
      .Answer("do_check 0", json::array({IndexAnswer(0, 2), IndexAnswer(0, 0)}))
      .Calls("do_install 0", json::array({json::array({"setProgress", 0, 0, true}),
                                          json::array({"setProgress", 60, 0, true})}))
      .Sleep("do_install 0", 2000)
      .Answer("do_install 0", IndexAnswer(0, 0));
  ASSERT_NO_FATAL_FAILURE(Start(script));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());
  EXPECT_EQ(page_->Text("safe_name"), "网银密码安全控件");
  EXPECT_EQ(page_->Text("safe_status"), "有升级");
  EXPECT_TRUE(page_->HasClass("safe_status", "hongse"));
  EXPECT_EQ(page_->Execute("return $('#safe_fix button').text();"), "安装");
  EXPECT_TRUE(page_->HasClass("jiance4", "checkOpen"));
  EXPECT_EQ(page_->Text("check_result"), kFailText);

  page_->ClickSelector("#safe_fix button");
  // While the host downloads, its progress reaches the bar and the status line.
  ASSERT_TRUE(page_->WaitForText("check_text", "正在下载网银密码安全控件...", 5s)) << page_->Text("check_text");
  EXPECT_EQ(page_->Css("progressbar", "width"), "158px");
  EXPECT_EQ(page_->Css("progressbar", "background-color"), kOkColour);
  ASSERT_TRUE(page_->WaitForText("check_text", "网银密码安全控件安装成功！", 10s)) << page_->Text("check_text");
  EXPECT_EQ(page_->Text("safe_status"), "已安装");
  EXPECT_FALSE(page_->HasClass("safe_status", "hongse"));
  EXPECT_EQ(page_->Execute("return $('#safe_fix button').length;"), 0);
  EXPECT_NE(page_->Css("safe_name", "background-image").find("images/true.png"), std::string::npos);
  EXPECT_EQ(page_->Text("check_result"), kPassText);
}

TEST_F(PageTest, SelfUpdateProgressAndInstallFailure) {
  Script script;
  script.NoKeys()
      .Items({{"网银防钓鱼控件", "control", "", "antiphishing"}})
      .Answer("do_check 0", IndexAnswer(0, 0))
      .Calls("check_update true", json::array({json::array({"setProgress", 50, -1, true})}));
  ASSERT_NO_FATAL_FAILURE(Start(script));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());

  page_->Click("id_check_update");
  ASSERT_TRUE(page_->WaitForText("check_text", "正在更新Kestrilon网银助手...", 5s)) << page_->Text("check_text");
  EXPECT_EQ(page_->Css("progressbar", "width"), "132px");
  EXPECT_EQ(Sent("check_update"), (std::vector<std::string>{"false", "true"}));

  // The other shapes of the progress report, as the host sends them.
  struct Case { int progress, index; bool status; std::string text, width, colour; };
  for (const Case& c : std::vector<Case>{{100, -1, true, "更新完成", "264px", kOkColour},
                                         {20, -1, false, "更新失败", "264px", kRed},
                                         {130, 0, true, "正在安装网银防钓鱼控件...", "264px", kOkColour},
                                         {-5, 0, true, "正在下载网银防钓鱼控件...", "0px", kOkColour},
                                         {30, 0, false, "下载失败！", "79px", kRed}}) {
    SCOPED_TRACE(c.text);
    page_->Execute("setProgress(arguments[0], arguments[1], arguments[2]);", json::array({c.progress, c.index, c.status}));
    EXPECT_EQ(page_->Text("check_text"), c.text);
    EXPECT_EQ(page_->Css("progressbar", "width"), c.width);
    EXPECT_EQ(page_->Css("progressbar", "background-color"), c.colour);
  }
}

TEST_F(PageTest, KeyPaneShowsTheCertificateAndMarksEmptyFields) {
  Script script;
  script.Items({{"飞天二代U-Key驱动", "key", "0x096E0713", "FT2"}, {"海泰二代U-Key驱动", "key", "0xD4490004", "HT2"}})
      .Answer("do_check 0", IndexAnswer(0, 3))
      .Answer("do_check 1", IndexAnswer(1, 3))
      .Calls("is_key_connect 0x096E0713",
             json::array({json::array({"setKeyInfo", 0, "selected", true}), json::array({"setKeyInfo", 0, "sn", ""}),
                          json::array({"setKeyInfo", 0, "issuer", "<i id=\"injected\">Kestrilon Test CA</i>"}),
                          json::array({"setKeyInfo", 0, "subject", "CN=张三"}),
                          json::array({"setKeyInfo", 0, "date", "2026/01/01-2028/01/01"})}))
      .Answer("is_key_connect 0x096E0713", true)
      .Calls("is_key_connect 0xD4490004", json::array({json::array({"setKeyInfo", 1, "selected", false})}))
      .Answer("is_key_connect 0xD4490004", false);
  ASSERT_NO_FATAL_FAILURE(Start(script));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());
  // The plugged-in key's missing driver blocks the verdict; the absent key's does not.
  EXPECT_EQ(page_->Text("check_result"), kFailText);
  EXPECT_TRUE(page_->HasClass("jiance4", "checkOpen"));
  page_->Click("one2");
  EXPECT_TRUE(page_->Displayed("con_one_2"));
  EXPECT_EQ(page_->Text("uk_info_status"), "飞天二代已插入");
  EXPECT_EQ(page_->Text("ukey_sn"), "请确认驱动是否安装正确！");
  EXPECT_TRUE(page_->HasClass("ukey_sn", "hongse"));
  EXPECT_EQ(page_->Css("ukey_sn", "color"), kRed);
  EXPECT_EQ(page_->Text("ukey_subject"), "CN=张三");
  EXPECT_FALSE(page_->HasClass("ukey_subject", "hongse"));
  // A certificate field is text, never markup.
  EXPECT_EQ(page_->Text("ukey_issuer"), "<i id=\"injected\">Kestrilon Test CA</i>");
  EXPECT_FALSE(page_->Exists("injected"));
  EXPECT_EQ(page_->Execute("return getKeyInfo(0, 'cspname');"), "EnterSafe Interpass3000 CSP for Quorvane V1.0");
  EXPECT_EQ(page_->Execute("return is_can_Open_update();"), false);
}

TEST_F(PageTest, WithoutAKeyKeyItemsDoNotBlockTheVerdict) {
  Script script;
  script.NoKeys()
      .Items({{"飞天二代U-Key驱动", "key", "0x096E0713", "FT2"}})
      .Answer("do_check 0", IndexAnswer(0, 3));
  ASSERT_NO_FATAL_FAILURE(Start(script));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());
  EXPECT_EQ(page_->Text("check_result"), kPassText);
  EXPECT_FALSE(page_->HasClass("jiance4", "checkOpen"));
  page_->Click("one2");
  EXPECT_EQ(page_->Text("uk_info_status"), "U-Key未插入");
}

TEST_F(PageTest, ItemNameWithMarkupIsShownAsText) {
  const std::string name = "<b id=\"injected\">恶意</b><img src=\"x\" onerror=\"window.injected = 1\">";
  Script script;
  script.NoKeys().Items({{name, "control", "", "safe"}}).Answer("do_check 0", IndexAnswer(0, 3));
  ASSERT_NO_FATAL_FAILURE(Start(script));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());
  EXPECT_EQ(page_->Text("safe_name"), name);
  EXPECT_FALSE(page_->Exists("injected"));
  EXPECT_EQ(page_->Execute("return typeof window.injected;"), "undefined");
  EXPECT_EQ(page_->Text("safe_status"), "未安装");
}

TEST_F(PageTest, EmptyAnswersStillFinishTheCheck) {
  // Only the configuration load is scripted (to an empty configuration); every other command goes to
  // the real dispatcher. An answer that is not JSON (such as the empty value of a command that has no
  // work behind it) paints its row as failing and lets the next step run.
  Script script;
  script.body["answers"] = json{{"get_config", nullptr}};
  script.body["calls"] = json::object();
  ASSERT_NO_FATAL_FAILURE(Start(script));
  ASSERT_NO_FATAL_FAILURE(WaitForCheckAll());
  EXPECT_EQ(page_->Css("progressbar", "width"), "264px");
  EXPECT_EQ(page_->Text("check_result"), kFailText);
  EXPECT_EQ(page_->Text("registry_status"), "异常");
  EXPECT_NE(page_->Css("cache_img", "background-image").find("images/true.png"), std::string::npos);
}

// The real program on the demo bank: the configuration comes from the loopback server through the
// real get_config, the items reach the page through setItemInfo, and the page's trace reaches Log.log.
TEST(PageOnTheDemoBank, StartUpCheckShowsTheBanksItems) {
  const std::string build = std::getenv("KESTRILON_BINARY_DIR");
  const std::string source = std::getenv("KESTRILON_SOURCE_DIR");
  const std::string tool = build + "/bin/kestrilon-machine";
  const std::string assistant = build + "/bin/kestrilon-assistant";
  if (::access(tool.c_str(), X_OK) != 0 || ::access(assistant.c_str(), X_OK) != 0) GTEST_SKIP() << "program not built";
  TempDir dir;
  ::setenv("KESTRILON_MACHINE", (dir.Path() / "machine").c_str(), 1);
  auto run = [](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); };
  ASSERT_EQ(run("'" + tool + "' init"), 0);
  const std::string urlFile = (dir.Path() / "url").string();
  ChildProcess bank({"python3", source + "/examples/demo-bank/serve.py", "--url-file", urlFile});
  std::string url;
  for (int i = 0; i < 100 && url.empty(); ++i) {
    std::ifstream(urlFile) >> url;
    if (url.empty()) std::this_thread::sleep_for(50ms);
  }
  ASSERT_FALSE(url.empty()) << "the demo bank did not start";
  const std::string settings = "'HKCU\\Software\\Kestrilon\\kestrilon-assistant\\Settings'";
  ASSERT_EQ(run("'" + tool + "' reg add " + settings + " /v ConfigUrl /t REG_SZ /d '" + url + "' /f"), 0);
  ASSERT_EQ(run("'" + tool + "' reg add " + settings + " /v CloseToTray /t REG_DWORD /d 0 /f"), 0);

  const std::string log = build + "/bin/Log.log";
  std::ifstream before(log, std::ios::ate);
  const std::streamoff start = before ? static_cast<std::streamoff>(before.tellg()) : 0;

  VirtualDisplay display;
  WebDriverSession page(assistant, {});
  ASSERT_TRUE(page.Started()) << page.StartError();
  ASSERT_TRUE(page.WaitForText("check_text", "检测完毕！", 60s)) << page.Text("check_text");
  EXPECT_EQ(page.Text("safe_name"), "网银密码安全控件");
  EXPECT_EQ(page.Text("antiphishing_name"), "网银防钓鱼控件");
  EXPECT_EQ(page.Css("progressbar", "width"), "264px");

  std::ifstream in(log);
  in.seekg(start);
  std::stringstream trace;
  trace << in.rdbuf();
  EXPECT_NE(trace.str().find("[page] answer get_config: 4 items"), std::string::npos) << trace.str();
  EXPECT_NE(trace.str().find("[page] check all: 11 rows, 4 items"), std::string::npos);
  EXPECT_NE(trace.str().find("[page] check all done"), std::string::npos);
}

}  // namespace
}  // namespace Kestrilon::Testing
