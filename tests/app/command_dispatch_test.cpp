#include "bridge_fixture.h"

namespace Kestrilon::App {
namespace {

TEST(CommandTableTest, HoldsTheTwentyThreeCommandsByExactName) {
  const std::pair<const char16_t*, int32_t> rows[] = {
      {u"get_config", 1},      {u"save_settings", 2}, {u"load_settings", 3}, {u"messagebox", 4},
      {u"open_ie", 5},         {u"get_data", 6},      {u"is_key_connect", 7}, {u"do_check", 8},
      {u"do_fix", 9},          {u"do_install", 10},   {u"get_version", 11},  {u"debug_print", 12},
      {u"delay_ms", 13},       {u"call_js", 14},      {u"do_extra_startup", 15}, {u"check_update", 16},
      {u"update_key_info", 17}, {u"restart_app", 18}, {u"http_post", 19},    {u"set_Log", 21},
      {u"Get_SM_info", 22},    {u"mini_size", 23},    {u"quit", 24},
  };
  EXPECT_EQ(CommandTable().size(), std::size(rows));
  for (const auto& [name, number] : rows) EXPECT_EQ(LookupCommand(ScriptValue::String(name)), number);
  for (const char16_t* name : {u"set_log", u"Quit", u"load_settings ", u"", u"ui_notify"})
    EXPECT_EQ(LookupCommand(ScriptValue::String(name)), -1);
}

TEST(CommandTableTest, OnlyAnI4NameIsANumber) {
  EXPECT_EQ(LookupCommand(ScriptValue::I4(3)), 3);
  EXPECT_EQ(LookupCommand(ScriptValue::I4(20)), 20);
  EXPECT_EQ(LookupCommand(ScriptValue::I4(-7)), -7);
  for (const ScriptValue& name : {ScriptValue(), ScriptValue::UI4(3), ScriptValue::Int(3), ScriptValue::R8(3),
                                  ScriptValue::Bool(true), ScriptValue::NullString(), ScriptValue::Null()})
    EXPECT_EQ(LookupCommand(name), -1);
}

TEST_F(BridgeTest, NamesAndNumbersWithoutWorkGiveAnEmptyResultAndShowNothing) {
  for (const ScriptValue& name : {ScriptValue::String(u"no_such_command"), ScriptValue::String(u"ui_notify"),
                                  ScriptValue::I4(0), ScriptValue::I4(20), ScriptValue::I4(-1), ScriptValue::I4(99),
                                  ScriptValue::UI4(4), ScriptValue(), ScriptValue::String(u"debug_print"),
                                  ScriptValue::I4(12)}) {
    EXPECT_TRUE(Call(name, ScriptValue::String(u"text"), ScriptValue::I4(1)).IsEmpty());
  }
  EXPECT_TRUE(events.empty()) << events.front().dump();
}

TEST_F(BridgeTest, NumberThreeIsLoadSettings) {
  EXPECT_EQ(Call(ScriptValue::I4(3), ScriptValue::String(u"IsFirstStart"), ScriptValue::I4(7)), ScriptValue::I4(7));
  Call(u"save_settings", ScriptValue::String(u"IsFirstStart"), ScriptValue::I4(0));
  EXPECT_EQ(Call(ScriptValue::I4(3), ScriptValue::String(u"IsFirstStart"), ScriptValue::I4(7)), ScriptValue::I4(0));
  EXPECT_EQ(Call(u"load_settings", ScriptValue::String(u"IsFirstStart"), ScriptValue::I4(7)), ScriptValue::I4(0));
  EXPECT_TRUE(events.empty());
}

TEST_F(BridgeTest, WrongArgumentKindsShowTheCommandsErrorMessage) {
  const ScriptValue key = ScriptValue::String(u"k");
  const struct {
    const char16_t* command;
    ScriptValue a2, a3;
    const char* message;
  } cases[] = {
      {u"save_settings", ScriptValue::I4(1), ScriptValue::I4(1), "save_settings第2个参数应该为String类型！"},
      {u"save_settings", ScriptValue(), ScriptValue::String(u"v"), "save_settings第2个参数应该为String类型！"},
      {u"save_settings", key, ScriptValue::R8(1.5), "save_settings第3个参数使用了不支持的类型！"},
      {u"save_settings", key, ScriptValue::UI4(1), "save_settings第3个参数使用了不支持的类型！"},
      {u"save_settings", key, ScriptValue(), "save_settings第3个参数使用了不支持的类型！"},
      {u"load_settings", ScriptValue::Bool(true), ScriptValue::I4(1), "load_settings第2个参数应该为String类型！"},
      {u"load_settings", ScriptValue::I4(5), ScriptValue(), "load_settings第2个参数应该为String类型！"},
      {u"load_settings", key, ScriptValue::R8(2.5), "load_settings第3个参数使用了不支持的类型！"},
      {u"load_settings", key, ScriptValue::Int(3), "load_settings第3个参数使用了不支持的类型！"},
      {u"load_settings", key, ScriptValue(), "load_settings第3个参数使用了不支持的类型！"},
  };
  for (const auto& c : cases) {
    events.clear();
    EXPECT_TRUE(Call(c.command, c.a2, c.a3).IsEmpty());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], json::parse(std::string(R"({"message":{"content":")") + c.message +
                                     R"(","instruction":"错误","caption":"Kestrilon 网银助手","icon":5},"answer":1})"));
  }
  // The refused value was not stored.
  EXPECT_EQ(Call(u"load_settings", key, ScriptValue::I4(-9)), ScriptValue::I4(-9));
}

}  // namespace
}  // namespace Kestrilon::App
