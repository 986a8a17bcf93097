#include <chrono>
#include <thread>

#include "bridge_fixture.h"

namespace Kestrilon::App {
namespace {

// A dialog with a window handle, to see which window owns a message.
class WindowedDialog : public UI::IBSDialog {
 public:
  UI::WindowHandle GetWindowHandle() override { return 0x5150; }
  int32_t ResizeToContent(int32_t, int32_t) override { return 0; }
  UI::HRESULT CallScriptFunction(std::u16string_view, const ScriptValue*, uint32_t, ScriptValue*) override { return 0; }
  UI::HRESULT SetScriptVariable(std::u16string_view, const ScriptValue&) override { return 0; }
  UI::HRESULT GetScriptVariable(std::u16string_view, ScriptValue&) override { return 0; }
  UI::HRESULT ExecScript(std::u16string_view) override { return 0; }
};

class RecordingPresenter : public UI::IMessagePresenter {
 public:
  int32_t Show(const UI::MessageRequest& request) override {
    shown.push_back(request);
    return UI::IDOK;
  }
  int32_t Ask(const UI::QuestionRequest&) override { return UI::IDNO; }
  std::vector<UI::MessageRequest> shown;
};

TEST_F(BridgeTest, CallJsHandsThePageItsArgumentsInReverse) {
  EXPECT_TRUE(Call(u"call_js", ScriptValue::String(u"showThem"), ScriptValue::I4(1), ScriptValue::I4(2),
                   ScriptValue::I4(3))
                  .IsEmpty());
  EXPECT_TRUE(Call(u"call_js", ScriptValue::String(u"two"), ScriptValue::String(u"a"), ScriptValue::UI4(9)).IsEmpty());
  EXPECT_TRUE(Call(u"call_js", ScriptValue::I4(5), ScriptValue::I4(1)).IsEmpty());  // no function name: nothing
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], json::parse(R"({"page":"showThem","args":[3,2,1]})"));
  EXPECT_EQ(events[1], json::parse(R"({"page":"two","args":[null,{"kind":"VT_UI4","value":9},"a"]})"));
}

TEST_F(BridgeTest, CallJsUsesTheCallingDialogNotTheApplicationDialog) {
  std::vector<json> other;
  UI::ConsoleHost caller([&](const json& e) { other.push_back(e); });
  ScriptValue result;
  OnScriptCommand(result, &caller, ScriptValue::String(u"call_js"), ScriptValue::String(u"f"), {}, {}, {});
  EXPECT_EQ(other.size(), 1u);
  EXPECT_TRUE(events.empty());
}

TEST_F(BridgeTest, DoExtraStartupReportsTheOnlyArgument) {
  const struct {
    std::vector<std::u16string> arguments;
    const char16_t* expected;
  } cases[] = {
      {{u"/opt/kestrilon/kestrilon-assistant"}, u"Normal"},
      {{u"/opt/kestrilon/kestrilon-assistant", u"Tray"}, u"Tray"},
      {{u"/opt/kestrilon/kestrilon-assistant", u""}, u""},
      {{u"/opt/kestrilon/kestrilon-assistant", u"Tray", u"More"}, u"Normal"},
      {{}, u"Normal"},
  };
  for (const auto& c : cases) {
    SetStartupArguments(c.arguments);
    EXPECT_EQ(Call(u"do_extra_startup"), ScriptValue::String(c.expected));
  }
  const char* argv[] = {"kestrilon-assistant", "检测"};
  SetStartupArguments(2, argv);
  EXPECT_EQ(Call(ScriptValue::I4(15)), ScriptValue::String(u"检测"));
}

TEST_F(BridgeTest, DelayMsKeepsTheHostsEventsGoingUntilTheTimeHasPassed) {
  int pumped = 0;
  UI::SetEventPump([&] { ++pumped; });
  EXPECT_TRUE(Call(u"delay_ms", ScriptValue::I4(0)).IsEmpty());
  EXPECT_EQ(pumped, 1);  // at least one event, even for no wait

  pumped = 0;
  Call(u"delay_ms", ScriptValue::I4(-20));  // a negative wait is no wait
  EXPECT_EQ(pumped, 1);

  pumped = 0;
  Call(u"delay_ms", ScriptValue::String(u"30"));  // not an integer: nothing
  Call(u"delay_ms", ScriptValue::R8(30));
  EXPECT_EQ(pumped, 0);

  UI::SetEventPump([&] {
    ++pumped;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  const auto start = std::chrono::steady_clock::now();
  Call(u"delay_ms", ScriptValue::I4(40));
  // The tick count counts whole milliseconds, so the wait may be short by less than one.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(39));
  EXPECT_GT(pumped, 1);
  UI::SetEventPump(nullptr);
}

TEST_F(BridgeTest, MessageboxShowsTextsOnlyWithTheTitleAndTheDialogsWindow) {
  RecordingPresenter recording;
  UI::SetMessagePresenter(&recording);
  WindowedDialog dialog;
  auto messagebox = [&](const ScriptValue& a2, const ScriptValue& a3) {
    ScriptValue result = ScriptValue::I4(1);
    OnScriptCommand(result, &dialog, ScriptValue::String(u"messagebox"), a2, a3, {}, {});
    EXPECT_TRUE(result.IsEmpty());
  };
  messagebox(ScriptValue::String(u"警告文本"), ScriptValue::I4(2));
  messagebox(ScriptValue::String(u"plain"), ScriptValue::String(u"2"));  // icon kind only from an integer
  messagebox(ScriptValue::String(u"odd"), ScriptValue::I4(42));
  messagebox(ScriptValue::I4(5), ScriptValue::I4(1));  // a number as text: nothing
  messagebox(ScriptValue(), ScriptValue());
  ASSERT_EQ(recording.shown.size(), 3u);
  EXPECT_EQ(recording.shown[0].content, u"警告文本");
  EXPECT_EQ(recording.shown[0].mainInstruction, u"");
  EXPECT_EQ(recording.shown[0].caption, UI::LoadStringResource(102));
  EXPECT_EQ(recording.shown[0].iconKind, UI::kIconWarning);
  EXPECT_EQ(recording.shown[0].owner, 0x5150u);
  EXPECT_EQ(recording.shown[1].iconKind, 0);
  EXPECT_EQ(recording.shown[2].iconKind, 0);
}

TEST(LifetimeTest, RequestsRunTheInstalledHooks) {
  int quits = 0, restarts = 0;
  RequestQuit();  // none installed: nothing
  SetLifetimeHooks({[&] { ++quits; }, [&] { ++restarts; }});
  RequestQuit();
  RequestRestart();
  RequestRestart();
  SetLifetimeHooks({});
  RequestQuit();
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(restarts, 2);
}

}  // namespace
}  // namespace Kestrilon::App
