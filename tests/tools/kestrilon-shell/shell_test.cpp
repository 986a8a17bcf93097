// kestrilon-shell end to end: the built binary over a throw-away machine image.
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>

#include "shell_runner.h"
#include "support/temp_dir.h"

namespace Kestrilon::Testing {
namespace {

using json = nlohmann::ordered_json;

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

class ShellTest : public ::testing::Test {
 protected:
  ShellRun Run(const std::vector<std::string>& input, std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"--machine", (temp / "image").string()});
    ShellRun run = RunShell(BuiltShell(), arguments, Lines(input));
    EXPECT_EQ(run.status, 0) << run.errors;
    return run;
  }
  TempDir temp;
};

TEST_F(ShellTest, AnswersEachLineWithItsEventsThenOneResult) {
  const std::pair<std::string, std::vector<std::string>> transcript[] = {
      {R"(["load_settings","IsFirstStart",7])", {R"({"result":7,"kind":"VT_I4"})"}},
      {R"([3,"IsFirstStart",true])", {R"({"result":true,"kind":"VT_BOOL"})"}},
      {R"(["save_settings","Flag",1])", {R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["load_settings","Flag",false])", {R"({"result":1,"kind":"VT_BOOL"})"}},
      {R"(["save_settings","Flag",{"kind":"VT_BOOL","value":true}])", {R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["load_settings","flag",false])", {R"({"result":true,"kind":"VT_BOOL"})"}},
      {R"(["load_settings","Flag","text"])", {R"({"result":"text","kind":"VT_BSTR"})"}},
      {R"(["call_js","f",1,2,3])", {R"({"page":"f","args":[3,2,1]})", R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["call_js","g",{"kind":"VT_UI4","value":5},1.5])",
       {R"({"page":"g","args":[null,1.5,{"kind":"VT_UI4","value":5}]})", R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["messagebox","请确认",3])",
       {R"({"message":{"content":"请确认","instruction":"","caption":"Kestrilon 网银助手","icon":3},"answer":1})",
        R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["messagebox","x",9])",
       {R"({"message":{"content":"x","instruction":"","caption":"Kestrilon 网银助手","icon":0},"answer":1})",
        R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["messagebox",4])", {R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["save_settings",{"kind":"VT_UI4","value":1},2])",
       {R"({"message":{"content":"save_settings第2个参数应该为String类型！","instruction":"错误","caption":"Kestrilon 网银助手","icon":5},"answer":1})",
        R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"([20])", {R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"([0,"x"])", {R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["LOAD_SETTINGS","Flag",7])", {R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["delay_ms",0])", {R"({"result":null,"kind":"VT_EMPTY"})"}},
      {R"(["do_extra_startup"])", {R"({"result":"Normal","kind":"VT_BSTR"})"}},
      {"", {}},  // a blank line is skipped
  };
  std::vector<std::string> input, expected;
  for (const auto& [line, answer] : transcript) {
    input.push_back(line);
    expected.insert(expected.end(), answer.begin(), answer.end());
  }
  EXPECT_EQ(Run(input).lines, expected);
}

TEST_F(ShellTest, ABadLineGetsAnErrorAndTheShellGoesOn) {
  const std::vector<std::string> bad = {
      "garbage", "{}", "[]", "[1,2,3,4,5,6]", R"("load_settings")", R"(["x",{"kind":"VT_BOGUS"}])",
      R"(["x",[1]])", R"(["x",{"kind":"VT_UI4","value":-1}])", "[1,", "\xff\xfe",
  };
  std::vector<std::string> input = bad;
  input.push_back(R"(["load_settings","k",5])");
  const ShellRun run = Run(input);
  ASSERT_EQ(run.lines.size(), bad.size() + 1);
  for (size_t i = 0; i < bad.size(); ++i) {
    json line = json::parse(run.lines[i], nullptr, false);
    ASSERT_TRUE(line.is_object() && line.size() == 1 && line.contains("error")) << bad[i] << " -> " << run.lines[i];
    EXPECT_TRUE(line["error"].is_string() && !line["error"].get<std::string>().empty());
  }
  EXPECT_EQ(run.lines.back(), R"({"result":5,"kind":"VT_I4"})");
}

TEST_F(ShellTest, TheLastLineNeedsNoLineEnd) {
  ShellRun run = RunShell(BuiltShell(), {"--machine", (temp / "image").string()}, R"(["do_extra_startup"])");
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], R"({"result":"Normal","kind":"VT_BSTR"})");
}

TEST_F(ShellTest, QuitAndRestartAreReportedAndEndTheShell) {
  for (const char* command : {"quit", "restart_app"}) {
    const ShellRun run = Run({R"(["load_settings","k",1])", std::string(R"([")") + command + R"("])",
                              R"(["load_settings","k",2])"});
    const std::string event = std::string(command) == "quit" ? R"({"quit":true})" : R"({"restart":true})";
    EXPECT_EQ(run.lines, (std::vector<std::string>{R"({"result":1,"kind":"VT_I4"})", event,
                                                   R"({"result":null,"kind":"VT_EMPTY"})"}))
        << command;
  }
}

TEST_F(ShellTest, ExtraStartupWordsComeFromArgs) {
  const struct {
    std::vector<std::string> arguments;
    const char* result;
  } cases[] = {
      {{}, R"({"result":"Normal","kind":"VT_BSTR"})"},
      {{"--args", "Tray"}, R"({"result":"Tray","kind":"VT_BSTR"})"},
      {{"--args", "Tray", "--args", "Check"}, R"({"result":"Normal","kind":"VT_BSTR"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(Run({R"(["do_extra_startup"])"}, c.arguments).lines, std::vector<std::string>{c.result});
}

TEST_F(ShellTest, SettingsPersistInTheMachineImageNamedByOptionOrEnvironment) {
  Run({R"(["save_settings","ConfigUrl","file:///tmp/配置.xml"])"});
  ShellRun run = RunShell(BuiltShell(), {}, R"(["load_settings","CONFIGURL",""])" "\n",
                          {"KESTRILON_MACHINE=" + (temp / "image").string()});
  EXPECT_EQ(run.lines, std::vector<std::string>{R"({"result":"file:///tmp/配置.xml","kind":"VT_BSTR"})"});
}

TEST_F(ShellTest, BadOptionsAreRefused) {
  WriteFileText(temp / "object.json", R"({"not":"an array"})");
  const std::vector<std::string> cases[] = {
      {"--answer", "maybe"},
      {"--keys", (temp / "missing.json").string()},
      {"--keys", (temp / "object.json").string()},
      {"--bogus", "1"},
      {"--machine"},
  };
  for (const auto& arguments : cases) {
    ShellRun run = RunShell(BuiltShell(), arguments, "");
    EXPECT_EQ(run.status, 2) << arguments[0];
    EXPECT_NE(run.errors.find("usage"), std::string::npos);
  }
}

// The log file sits beside the program file, so the shell runs from a copy in its own folder.
TEST_F(ShellTest, LogLinesCarryPidLocalTimeAndTheTextUpToANull) {
  const auto program = temp / "program" / "kestrilon-shell";
  std::filesystem::create_directories(program.parent_path());
  std::filesystem::copy_file(BuiltShell(), program);
  const auto log = program.parent_path() / "Log.log";
  WriteFileText(log, "earlier line\r\n");

  const std::vector<std::string> texts = {
      R"(["set_Log","hello"])", R"(["set_Log",""])", R"(["set_Log","ab\u0000cd"])", R"(["set_Log","中文"])",
      R"(["set_Log",5])", R"([21,"by number"])"};
  const time_t before = time(nullptr);
  // A zone eight hours east of UTC: the prefix must show local time, not UTC.
  ShellRun run = RunShell(program, {"--machine", (temp / "image").string()}, Lines(texts), {"TZ=<+08>-8"});
  const time_t after = time(nullptr);
  ASSERT_EQ(run.status, 0) << run.errors;

  const std::string content = ReadFileText(log);
  ASSERT_EQ(content.rfind("earlier line\r\n", 0), 0u) << content;
  const std::regex line(R"(\((\d+)\) (\d{4})/(\d{2})/(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3})000: ([^\r\n]*)\r\n)");
  std::vector<std::string> logged;
  for (auto it = std::sregex_iterator(content.begin() + 14, content.end(), line); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    EXPECT_EQ(std::stoi(m[1]), run.pid);
    tm fields{};
    fields.tm_year = std::stoi(m[2]) - 1900;
    fields.tm_mon = std::stoi(m[3]) - 1;
    fields.tm_mday = std::stoi(m[4]);
    fields.tm_hour = std::stoi(m[5]);
    fields.tm_min = std::stoi(m[6]);
    fields.tm_sec = std::stoi(m[7]);
    const time_t written = timegm(&fields) - 8 * 3600;
    EXPECT_GE(written, before);
    EXPECT_LE(written, after);
    logged.push_back(m[9]);
  }
  EXPECT_EQ(logged, (std::vector<std::string>{"hello", "", "ab", "中文", "by number"}));
  // Nothing else: every byte after the earlier line belongs to one of those lines.
  size_t total = 14;
  for (auto it = std::sregex_iterator(content.begin() + 14, content.end(), line); it != std::sregex_iterator(); ++it)
    total += it->length();
  EXPECT_EQ(total, content.size());

  // A second process appends after the first one's lines.
  RunShell(program, {"--machine", (temp / "image").string()}, Lines({R"(["set_Log","second run"])"}));
  const std::string again = ReadFileText(log);
  EXPECT_EQ(again.rfind(content, 0), 0u);
  EXPECT_NE(again.find(": second run\r\n", content.size()), std::string::npos);
}

TEST_F(ShellTest, ALogThatCannotBeOpenedMakesSetLogDoNothing) {
  const auto program = temp / "program" / "kestrilon-shell";
  std::filesystem::create_directories(program.parent_path() / "Log.log");  // a folder where the file would be
  std::filesystem::copy_file(BuiltShell(), program);
  ShellRun run = RunShell(program, {"--machine", (temp / "image").string()},
                          Lines({R"(["set_Log","x"])", R"(["set_Log","y"])"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, std::vector<std::string>(2, R"({"result":null,"kind":"VT_EMPTY"})"));
  EXPECT_TRUE(std::filesystem::is_empty(program.parent_path() / "Log.log"));
}

}  // namespace
}  // namespace Kestrilon::Testing
