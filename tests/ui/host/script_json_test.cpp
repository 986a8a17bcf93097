#include "ui/host/script_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Kestrilon::UI {
namespace {

using json = nlohmann::ordered_json;

ScriptValue Decode(const std::string& text) {
  ScriptValue value;
  std::string error;
  EXPECT_TRUE(DecodeTagged(json::parse(text), value, &error)) << text << ": " << error;
  return value;
}

TEST(ScriptJson, PlainJsonGivesTheKindsAScriptProduces) {
  const struct {
    const char* json;
    ScriptValue expected;
  } cases[] = {
      {"null", ScriptValue()},
      {"true", ScriptValue::Bool(true)},
      {"false", ScriptValue::Bool(false)},
      {"\"中文\"", ScriptValue::String(u"中文")},
      {"7", ScriptValue::I4(7)},
      {"-2147483648", ScriptValue::I4(std::numeric_limits<int32_t>::min())},
      {"2147483647", ScriptValue::I4(std::numeric_limits<int32_t>::max())},
      {"2147483648", ScriptValue::R8(2147483648.0)},
      {"-2147483649", ScriptValue::R8(-2147483649.0)},
      {"1.5", ScriptValue::R8(1.5)},
      {"3.0", ScriptValue::R8(3.0)},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.json), c.expected) << c.json;
}

TEST(ScriptJson, TaggedFormGivesAnyKind) {
  const struct {
    const char* json;
    ScriptValue expected;
  } cases[] = {
      {R"({"kind":"VT_UI4","value":5})", ScriptValue::UI4(5)},
      {R"({"kind":"VT_UI4","value":4294967295})", ScriptValue::UI4(4294967295u)},
      {R"({"kind":"VT_INT","value":-3})", ScriptValue::Int(-3)},
      {R"({"kind":"VT_I4","value":9})", ScriptValue::I4(9)},
      {R"({"kind":"VT_BOOL","value":1})", ScriptValue::BoolRaw(1)},
      {R"({"kind":"VT_BOOL","value":true})", ScriptValue::Bool(true)},
      {R"({"kind":"VT_BSTR","value":null})", ScriptValue::NullString()},
      {R"({"kind":"VT_NULL"})", ScriptValue::Null()},
      {R"({"kind":"VT_EMPTY"})", ScriptValue()},
      {R"({"kind":"VT_R8","value":2})", ScriptValue::R8(2)},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.json), c.expected) << c.json;
}

TEST(ScriptJson, RefusesWhatIsNoScriptValue) {
  for (const char* text : {R"([1])", R"({})", R"({"value":1})", R"({"kind":"VT_WHAT","value":1})",
                           R"({"kind":"VT_UI4","value":-1})", R"({"kind":"VT_UI4","value":4294967296})",
                           R"({"kind":"VT_I4","value":2147483648})", R"({"kind":"VT_I4","value":1.5})",
                           R"({"kind":"VT_BOOL","value":65536})", R"({"kind":"VT_BSTR","value":3})",
                           R"({"kind":"VT_DISPATCH"})", R"({"kind":"VT_UI4","value":1,"extra":2})"}) {
    ScriptValue value = ScriptValue::I4(1);
    std::string error;
    EXPECT_FALSE(DecodeTagged(json::parse(text), value, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(ScriptJson, EveryValueSurvivesEncodingAndDecoding) {
  const ScriptValue values[] = {
      ScriptValue(), ScriptValue::Null(), ScriptValue::I4(-5), ScriptValue::Int(77), ScriptValue::UI4(4000000000u),
      ScriptValue::R8(0.25), ScriptValue::R8(4.0), ScriptValue::R8(-0.0), ScriptValue::R8(1e300),
      ScriptValue::R8(std::numeric_limits<double>::infinity()), ScriptValue::Bool(true), ScriptValue::Bool(false),
      ScriptValue::BoolRaw(1), ScriptValue::BoolRaw(-2), ScriptValue::String(u""), ScriptValue::NullString(),
      ScriptValue::String(u"a\"b\\c\n\u0000d 错误 \U0001F600"),
  };
  for (const auto& value : values) {
    const std::string line = DumpJsonLine(EncodeTagged(value));
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    ScriptValue back;
    ASSERT_TRUE(DecodeTagged(json::parse(line), back)) << line;
    EXPECT_EQ(back, value) << line;
    if (value.Kind() == VT_R8) EXPECT_EQ(std::signbit(back.AsR8()), std::signbit(value.AsR8())) << line;
  }
  ScriptValue nan;
  ASSERT_TRUE(DecodeTagged(json::parse(DumpJsonLine(EncodeTagged(ScriptValue::R8(NAN)))), nan));
  EXPECT_TRUE(nan.Kind() == VT_R8 && std::isnan(nan.AsR8()));
}

TEST(ScriptJson, ValueAloneAndKindNames) {
  EXPECT_EQ(EncodeValue(ScriptValue::UI4(5)), json(5));
  EXPECT_EQ(EncodeValue(ScriptValue::BoolRaw(1)), json(1));
  EXPECT_EQ(EncodeValue(ScriptValue::Bool(true)), json(true));
  EXPECT_EQ(EncodeValue(ScriptValue()), json(nullptr));
  EXPECT_EQ(EncodeValue(ScriptValue::NullString()), json(nullptr));
  for (VarType kind : {VT_EMPTY, VT_NULL, VT_I4, VT_R8, VT_BSTR, VT_DISPATCH, VT_BOOL, VT_UI4, VT_INT})
    EXPECT_EQ(KindFromName(KindName(kind)), kind);
  EXPECT_EQ(KindName(static_cast<VarType>(77)), "VT_UNKNOWN");
}

TEST(ScriptJson, TextThatIsNotUtf8IsReplacedNotThrown) {
  // A lone surrogate cannot become UTF-8; the line still comes out.
  std::u16string lone = u"x";
  lone.push_back(static_cast<char16_t>(0xD800));
  EXPECT_NO_THROW(DumpJsonLine(EncodeTagged(ScriptValue::String(lone))));
  EXPECT_NO_THROW(DumpJsonLine(json(std::string("\xff\xfe"))));
}

}  // namespace
}  // namespace Kestrilon::UI
