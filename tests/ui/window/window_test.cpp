// The window host under Xvfb, driven through WebDriver: the page's bridge, the asynchronous calls, the
// host's calls into the page, navigation, keys and the elements the host handles itself.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "support/temp_dir.h"
#include "ui/window.h"
#include "ui/window/desktop.h"

namespace Kestrilon::Testing {
namespace {

using nlohmann::json;

std::string TestHost() { return std::string(std::getenv("KESTRILON_BINARY_DIR")) + "/tests/window_testhost"; }

// One desktop and one driver for the whole binary; each test group starts its own program.
class Desktop : public ::testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<TempDir>("kestrilon-window");
    const auto runtime = home_->Path() / "runtime";
    std::filesystem::create_directories(runtime);
    chmod(runtime.c_str(), 0700);
    setenv("HOME", home_->Path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KESTRILON_MACHINE", (home_->Path() / "machine").c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    ASSERT_TRUE(xvfb_.Start()) << "Xvfb did not start";
    ASSERT_TRUE(driver_.Start()) << "WebKitWebDriver did not start";
  }
  void TearDown() override {
    driver_.Stop();
    xvfb_.Stop();
    home_.reset();
  }
  static WebDriver& Driver() { return driver_; }

 private:
  static inline WebDriver driver_;
  Xvfb xvfb_;
  std::unique_ptr<TempDir> home_;
};

const auto* const g_desktop = ::testing::AddGlobalTestEnvironment(new Desktop);

// A test group with the test host running its test page.
class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    std::string id = Desktop::Driver().NewSession(TestHost(), {"--automation"}, &error);
    ASSERT_FALSE(id.empty()) << error;
    session_ = std::make_unique<WebDriverSession>(Desktop::Driver(), id);
    ASSERT_TRUE(WaitFor([] { return session_->Execute("return window.pageLoaded === true") == true; },
                        std::chrono::seconds(10)));
  }
  static void TearDownTestSuite() { session_.reset(); }
  WebDriverSession& Page() { return *session_; }
  json Log() { return Page().Execute("return window.external.callc('log')"); }

  static inline std::unique_ptr<WebDriverSession> session_;
};

TEST_F(WindowTest, CallcAnswersSynchronouslyWithTheValuesConverted) {
  // The answer is there in the statement that asked for it, on the user-interface thread.
  EXPECT_EQ(Page().Execute("return window.external.callc('echo', 'héllo 汉字')"), "héllo 汉字");
  EXPECT_EQ(Page().Execute("return window.external.callc('thread')"), "ui");
  // Kinds as the command sees them: VT_I4 3, VT_BSTR 8, VT_BOOL 11, VT_R8 5; missing ones VT_EMPTY 0.
  EXPECT_EQ(Page().Execute("return window.external.callc('kinds', 7, 'a', true, 1.5)"), "3,8,11,5,");
  EXPECT_EQ(Page().Execute("return window.external.callc('kinds', null)"), "1,0,0,0,");
  EXPECT_EQ(Page().Execute("var r = window.external.callc('echo', 12); return [r, typeof r]"), json::parse(R"([12,"number"])"));
  EXPECT_EQ(Page().Execute("return window.external.callc('echo', false)"), false);
  EXPECT_EQ(Page().Execute("return typeof window.external.callc('no such command')"), "undefined");
  EXPECT_EQ(Page().Execute("return window.external.getCom('{00000000-0000-0000-0000-000000000000}')"), nullptr);
}

TEST_F(WindowTest, AsyncallcRunsCommandsAndCallbacksInOrderWithoutOverlap) {
  json result = Page().ExecuteAsync(R"(
    const calls = [];
    const start = window.external.callc('log');
    ['a', 'b', 'c'].forEach(function (label, i) {
      window.external.asyncallc(function (r) {
        calls.push(r);
        if (calls.length === 4) done([calls, window.external.callc('log')]);
      }, 'step', label, [150, 60, 10][i]);
    });
    calls.push('returned');  // asyncallc returns before any command ran)");
  ASSERT_TRUE(result.is_array()) << result.dump();
  EXPECT_EQ(result[0], json::parse(R"(["returned","a","b","c"])"));
  const std::string log = result[1];
  EXPECT_NE(log.find("start:a|end:a|start:b|end:b|start:c|end:c"), std::string::npos) << log;
}

TEST_F(WindowTest, WorkerPageCallsCompleteBeforeTheCommandGoesOn) {
  // 1,000 calls from the worker; after each, the command reads the page's state it changed.
  json result = Page().ExecuteAsync(R"(
    window.count = 0;
    window.external.asyncallc(function (mismatches) { done([mismatches, window.count]); }, 'pagecalls', 1000);)");
  EXPECT_EQ(result, json::parse("[0,1000]"));
}

TEST_F(WindowTest, CallbackRunsWithItselfAsThisAndOneArgument) {
  json result = Page().ExecuteAsync(R"(
    function callback(r) { done([this === callback, arguments.length, r]); }
    window.external.asyncallc(callback, 'echo', 'value');)");
  EXPECT_EQ(result, json::parse(R"([true,1,"value"])"));
}

TEST_F(WindowTest, AsyncallcWithoutAFunctionStillRunsTheCommand) {
  json result = Page().ExecuteAsync(R"(
    window.external.asyncallc(42, 'record', 'no callback');
    window.external.asyncallc({}, 'record', 'object without call');
    window.external.asyncallc(function () { done(window.external.callc('log')); }, 'echo');)");
  ASSERT_TRUE(result.is_string());
  EXPECT_NE(result.get<std::string>().find("no callback|object without call"), std::string::npos) << result;
}

TEST_F(WindowTest, AsyncalldRunsOnAThreadOfItsOwn) {
  // A long queued command is still running when the asyncalld command, on another thread, is done.
  json result = Page().ExecuteAsync(R"(
    const seen = {};
    window.external.asyncallc(function (t) { seen.worker = t; }, 'thread');
    window.external.asyncallc(function () {
      seen.log = window.external.callc('log');
      done(seen);
    }, 'step', 'slow', 1500);
    // Its own thread waits until the worker has started the slow command, then ends while it still runs.
    window.external.asyncalld(function (t) { seen.own = t; window.external.callc('record', 'own thread done'); },
                              'await', 'start:slow', 5000);)");
  ASSERT_TRUE(result.is_object()) << result.dump();
  EXPECT_NE(result["own"], "ui");
  EXPECT_NE(result["worker"], "ui");
  EXPECT_NE(result["own"], result["worker"]);
  const std::string log = result["log"];
  EXPECT_LT(log.find("start:slow"), log.find("own thread done")) << log;
  EXPECT_LT(log.find("own thread done"), log.find("end:slow")) << log;
}

TEST_F(WindowTest, HostCallsIntoThePageTakeTheirArgumentsInReverse) {
  // From the worker: the list (3, 2, 1) reaches the page as 1, 2, 3; a missing function fails.
  json result = Page().ExecuteAsync("window.external.asyncallc(function (r) { done(r); }, 'order');");
  EXPECT_EQ(result, "1,2,3;0;-2147352570");  // DISP_E_UNKNOWNNAME
}

TEST_F(WindowTest, CallsIntoAPageBlockedInCallcAreQueuedOrFail) {
  // Inside callc the page cannot run: a call without an answer runs right after the callc returns,
  // one that needs the page's answer fails (RPC_E_CANTCALLOUT_ININPUTSYNCCALL) instead of hanging.
  json result = Page().ExecuteAsync(R"(
    window.marked = undefined;
    const statuses = window.external.callc('blocked');
    const right_after = String(window.marked);
    setTimeout(function () { done([statuses, right_after, window.marked]); }, 50);)");
  EXPECT_EQ(result, json::parse(R"(["0,-2147417843","undefined","queued"])"));
}

TEST_F(WindowTest, WindowIsSizedToTheBodyAndFollowsIt) {
  json rect = Page().Get("window/rect");
  EXPECT_EQ(rect["width"], 420);
  EXPECT_EQ(rect["height"], 300);
  // Centred on the 1280 × 1024 screen (no window manager: the work area is the screen).
  EXPECT_EQ(rect["x"], (1280 - 420) / 2);
  EXPECT_EQ(rect["y"], (1024 - 300) / 2);
  Page().Execute("document.body.style.height = '340px'; return 0");
  EXPECT_TRUE(WaitFor([&] { return Page().Get("window/rect")["height"] == 340; }, std::chrono::seconds(5)))
      << Page().Get("window/rect").dump();
  Page().Execute("document.body.style.height = '300px'; return 0");
  EXPECT_TRUE(WaitFor([&] { return Page().Get("window/rect")["height"] == 300; }, std::chrono::seconds(5)));
}

TEST_F(WindowTest, FragmentLinksAndTheSamePageDoNotNavigate) {
  Page().Execute("window.stamp = 'kept'; return 0");
  Page().Click("#fragment");
  Page().Click("#self");  // RES://KESTRILON/200: the page itself in other letter case
  Page().Execute("location.reload(); return 0");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Page().Execute("return [location.href, window.stamp]"), json::parse(R"(["res://kestrilon/200","kept"])"));
}

TEST_F(WindowTest, NewWindowsOpenNothingAndGoToTheBrowserLauncher) {
  Page().Execute("window.open('http://bank.example/from-script'); return 0");
  Page().Click("#blank");
  EXPECT_TRUE(WaitFor(
      [&] {
        std::string log = Log();
        return log.find("opened:http://bank.example/from-script") != std::string::npos &&
               log.find("opened:http://bank.example/blank") != std::string::npos;
      },
      std::chrono::seconds(5)))
      << Log();
  EXPECT_EQ(Page().Get("window/handles").size(), 1u);
  EXPECT_EQ(Page().Execute("return location.href"), "res://kestrilon/200");
}

TEST_F(WindowTest, BrowserKeysDoNothingInThePage) {
  Page().Execute("const f = document.getElementById('field'); f.focus(); f.setSelectionRange(3, 3); window.keys = []; return 0");
  auto press = [](const std::string& key) {
    return json::array({json{{"type", "keyDown"}, {"value", key}}, json{{"type", "keyUp"}, {"value", key}}});
  };
  json keys = json::array();
  auto add = [&](json list) { for (auto& k : list) keys.push_back(k); };
  const std::string alt = "\xEE\x80\x8A", control = "\xEE\x80\x89", left = "\xEE\x80\x92";
  add(press("\xEE\x80\xB5"));  // F5
  add(press("\xEE\x80\x8C"));  // Escape
  add(press("\xEE\x80\xB1"));  // F1
  keys.push_back({{"type", "keyDown"}, {"value", alt}});
  add(press(left));
  keys.push_back({{"type", "keyUp"}, {"value", alt}});
  for (const char* letter : {"p", "n", "s"}) {
    keys.push_back({{"type", "keyDown"}, {"value", control}});
    add(press(letter));
    keys.push_back({{"type", "keyUp"}, {"value", control}});
  }
  add(press(left));  // Left alone moves the text cursor
  Page().Actions(json::array({{{"type", "key"}, {"id", "keyboard"}, {"actions", keys}}}));
  json seen = Page().Execute("return [window.keys, document.getElementById('field').selectionStart]");
  EXPECT_EQ(seen, json::parse(R"([["Alt","Control","Control","Control","ArrowLeft"],2])")) << seen.dump();
}

TEST_F(WindowTest, TitleBarElementsReportTheirClicks) {
  Page().Click("#ui_close");  // does nothing to the window
  Page().Click("#ui_minimize");
  Page().Execute("document.getElementById('ui_restore') || document.body.insertAdjacentHTML('beforeend', "
                 "'<span id=\"ui_restore\">r</span>'); return 0");
  Page().Click("#ui_restore");
  Page().Click("#title_text");  // no click row: no notification
  EXPECT_TRUE(WaitFor([&] { return std::string(Log()).find("notify:ui_restore") != std::string::npos; },
                      std::chrono::seconds(5)));
  const std::string log = Log();
  EXPECT_NE(log.find("notify:ui_close|notify:ui_minimize|notify:ui_restore"), std::string::npos) << log;
  EXPECT_EQ(Page().Get("window/handles").size(), 1u);
}

TEST_F(WindowTest, AssistantNotifyFromAnotherProcessReachesTheMessageCallback) {
  EXPECT_EQ(UI::SendAssistantNotify(7, -3), 1);  // this test process is the other process
  EXPECT_TRUE(WaitFor([&] { return std::string(Log()).find("message:32769:7:-3") != std::string::npos; },
                      std::chrono::seconds(5)))
      << Log();
}

// Last in the group: the outside page replaces the test page.
TEST_F(WindowTest, ZZPageFromElsewhereGetsNoBridge) {
  httplib::Server server;
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<html><body>outside</body></html>", "text/html");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  Page().Navigate("http://127.0.0.1:" + std::to_string(port) + "/");
  json seen = Page().Execute(R"(
    let posted = 'no handler';
    try {
      window.webkit.messageHandlers.kestrilon.postMessage(JSON.stringify(
        { op: 'async', queued: true, callback: null, args: ['record', 'from outside'] }));
      posted = 'posted';
    } catch (e) {}
    let called = 'refused';
    try {
      const r = new XMLHttpRequest();
      r.open('POST', 'res://kestrilon/__kestrilon/callc', false);
      r.send(JSON.stringify(['record', 'outside callc']));
      if (r.status === 200) called = 'answered';
    } catch (e) {}
    return [typeof window.external === 'undefined' || typeof window.external.callc, typeof window.__kestrilonHost, called];)");
  server.stop();
  serving.join();
  EXPECT_EQ(seen, json::parse(R"([true,"undefined","refused"])")) << seen.dump();
  // Back on the program's page, neither request has run a command.
  Page().Navigate("res://kestrilon/200");
  ASSERT_TRUE(WaitFor([&] { return Page().Execute("return window.pageLoaded === true") == true; },
                      std::chrono::seconds(5)));
  const std::string log = Log();
  EXPECT_EQ(log.find("outside"), std::string::npos) << log;
}

// The quit element ends the message loop: the program ends.
TEST(WindowQuit, QuitElementEndsTheProgram) {
  std::string error;
  std::string id = Desktop::Driver().NewSession(TestHost(), {"--automation"}, &error);
  ASSERT_FALSE(id.empty()) << error;
  WebDriverSession page(Desktop::Driver(), id);
  ASSERT_TRUE(WaitFor([&] { return page.Execute("return window.pageLoaded === true") == true; }, std::chrono::seconds(10)));
  auto before = ProcessesOf(TestHost());
  ASSERT_EQ(before.size(), 1u);
  page.Click("#ui_quit");
  EXPECT_TRUE(WaitFor([&] { return ProcessesOf(TestHost()).empty(); }, std::chrono::seconds(10)));
  KillProcesses(ProcessesOf(TestHost()));
}

}  // namespace
}  // namespace Kestrilon::Testing
