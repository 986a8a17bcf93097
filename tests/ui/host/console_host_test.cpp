#include "ui/host/console_host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "ui/host/script_json.h"

namespace Kestrilon::UI {
namespace {

using json = nlohmann::ordered_json;

class ConsoleHostTest : public ::testing::Test {
 protected:
  void SetUp() override { SetApplicationDialog(&host); }
  void TearDown() override { SetApplicationDialog(nullptr); }
  std::vector<json> events;
  ConsoleHost host{[this](const json& event) { events.push_back(event); }};
};

TEST_F(ConsoleHostTest, PageReceivesTheListInReverse) {
  ScriptValue list[3] = {ScriptValue::I4(3), ScriptValue::I4(2), ScriptValue::I4(1)};
  EXPECT_EQ(host.CallScriptFunction(u"f", list, 3, nullptr), Platform::S_OK);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], json::parse(R"({"page":"f","args":[1,2,3]})"));
}

TEST_F(ConsoleHostTest, SetItemInfoAndSetProgressGoThroughTheApplicationDialogWithTheirKinds) {
  SetItemInfo(2, "name", u"值");
  SetItemInfo(3, "tip", static_cast<const char16_t*>(nullptr));
  SetProgress(40, -1, true);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], json::parse(R"({"page":"setItemInfo","args":[{"kind":"VT_UI4","value":2},"name","值"]})"));
  EXPECT_EQ(events[1],
            json::parse(R"({"page":"setItemInfo","args":[{"kind":"VT_UI4","value":3},"tip",{"kind":"VT_BSTR","value":null}]})"));
  EXPECT_EQ(events[2], json::parse(
                           R"({"page":"setProgress","args":[{"kind":"VT_INT","value":40},{"kind":"VT_INT","value":-1},true]})"));

  SetApplicationDialog(nullptr);  // no dialog yet: nothing happens
  SetProgress(1, 1, false);
  EXPECT_EQ(events.size(), 3u);
}

TEST_F(ConsoleHostTest, GetKeyInfoFailsWithoutAKeyList) {
  ScriptValue list[2] = {ScriptValue::String(u"cspname"), ScriptValue::UI4(0)};
  ScriptValue result = ScriptValue::I4(9);
  EXPECT_EQ(host.CallScriptFunction(u"getKeyInfo", list, 2, &result), DISP_E_UNKNOWNNAME);
  EXPECT_TRUE(result.IsEmpty());
}

TEST_F(ConsoleHostTest, KeyListAnswersAndTakesKeyInfo) {
  host.SetKeyList(json::parse(R"([{"cspname":"Key CSP v1.0","type":"k1"},{"count":{"kind":"VT_UI4","value":2}}])"));
  auto get = [&](uint32_t index, const char16_t* name) {
    ScriptValue list[2] = {ScriptValue::String(name), ScriptValue::UI4(index)};
    ScriptValue result = ScriptValue::I4(-99);
    EXPECT_EQ(host.CallScriptFunction(u"getKeyInfo", list, 2, &result), Platform::S_OK);
    return result;
  };
  EXPECT_EQ(get(0, u"cspname"), ScriptValue::String(u"Key CSP v1.0"));
  EXPECT_EQ(get(1, u"count"), ScriptValue::UI4(2));
  EXPECT_TRUE(get(0, u"missing").IsEmpty());
  EXPECT_TRUE(get(5, u"cspname").IsEmpty());  // no such key: undefined

  ScriptValue set[3] = {ScriptValue::Bool(true), ScriptValue::String(u"selected"), ScriptValue::UI4(1)};
  EXPECT_EQ(host.CallScriptFunction(u"setKeyInfo", set, 3, nullptr), Platform::S_OK);
  EXPECT_EQ(get(1, u"selected"), ScriptValue::Bool(true));
  ScriptValue setMissing[3] = {ScriptValue::String(u"x"), ScriptValue::String(u"sn"), ScriptValue::UI4(9)};
  EXPECT_LT(host.CallScriptFunction(u"setKeyInfo", setMissing, 3, nullptr), 0);
  EXPECT_EQ(host.KeyList()->size(), 2u);
}

TEST_F(ConsoleHostTest, ScriptVariablesAndExec) {
  ScriptValue value;
  EXPECT_EQ(host.GetScriptVariable(u"v", value), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(host.SetScriptVariable(u"v", ScriptValue::I4(4)), Platform::S_OK);
  EXPECT_EQ(host.GetScriptVariable(u"v", value), Platform::S_OK);
  EXPECT_EQ(value, ScriptValue::I4(4));
  EXPECT_LT(host.ExecScript(u"x()"), 0);
}

TEST(ConsolePresenterTest, ReportsMessagesAndAnswersQuestionsAsConfigured) {
  for (bool yes : {false, true}) {
    std::vector<json> events;
    ConsolePresenter presenter([&](const json& e) { events.push_back(e); }, yes);
    SetMessagePresenter(&presenter);
    EXPECT_EQ(ShowMessage(std::u16string(u"c"), std::u16string(u"i"), std::u16string(u"t"), 9), IDOK);
    EXPECT_EQ(AskYesNo(104, 106, 102, 107, 108), yes ? IDYES : IDNO);
    SetMessagePresenter(nullptr);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], json::parse(R"({"message":{"content":"c","instruction":"i","caption":"t","icon":0},"answer":1})"));
    EXPECT_EQ(events[1]["ask"]["choices"], json::parse(R"(["立即更新","稍后更新"])"));
    EXPECT_EQ(events[1]["answer"], yes ? 6 : 7);
  }
}

TEST(HostEventSources, ReadySourcesRunOnPollAndRemovedOnesDoNot) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int runs = 0;
  int32_t id = AddHostEventSource(fds[0], [&] {
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    ++runs;
  });
  EXPECT_FALSE(PollHostEventSources(0));
  EXPECT_EQ(runs, 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  PollHostEventSources(1000);
  EXPECT_EQ(runs, 1);

  // The input descriptor is reported separately from the sources.
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(write(input[1], "y", 1), 1);
  EXPECT_TRUE(PollHostEventSources(1000, input[0]));

  RemoveHostEventSource(id);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  PollHostEventSources(0);
  EXPECT_EQ(runs, 1);
  for (int fd : {fds[0], fds[1], input[0], input[1]}) close(fd);
}

TEST(HostEventPump, InstalledPumpRunsOncePerCall) {
  int calls = 0;
  SetEventPump([&] { ++calls; });
  ProcessOneHostEvent();
  ProcessOneHostEvent();
  SetEventPump(nullptr);
  ProcessOneHostEvent();  // none installed: returns after a short wait
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace Kestrilon::UI
