// get_config and get_data end to end through kestrilon-shell: the setting ConfigUrl names a loopback
// server; once the server is gone, the cached copy in the image serves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace {

using Kestrilon::Testing::HttpTestServer;
using Kestrilon::Testing::ReadFileText;
using Kestrilon::Testing::TempDir;
using Kestrilon::Testing::WriteFileText;

const char kDocument[] =
    "<checkitems><data name='help'>https://bank.example/帮助</data>"
    "<item name='网银控件' type='1' keyid='0x096E0713' flag='2'/><item name='second'/></checkitems>";

class ShellSession {
 public:
  explicit ShellSession(const std::filesystem::path& machine) : machine_(machine) {}

  // Runs one session over `lines` and answers its output.
  std::string Run(const std::string& lines) {
    const char* binaryDir = std::getenv("KESTRILON_BINARY_DIR");
    const std::filesystem::path shell = std::filesystem::path(binaryDir ? binaryDir : ".") / "bin" / "kestrilon-shell";
    WriteFileText(dir_ / "in.txt", lines);
    const std::string command = "'" + shell.string() + "' --machine '" + machine_.string() + "' < '" +
                                (dir_ / "in.txt").string() + "' > '" + (dir_ / "out.txt").string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return ReadFileText(dir_ / "out.txt");
  }

 private:
  std::filesystem::path machine_;
  TempDir dir_;
};

TEST(ConfigThroughShell, PublishesItemsAnswersDataAndFallsBackToTheCachedCopy) {
  HttpTestServer server;
  server.Route("/config/assistant.xml", [](const auto&, auto& response) { response.body = kDocument; });
  ASSERT_TRUE(server.Start());
  TempDir machine;
  ShellSession shell(machine.Path() / "image");

  const std::string expected =
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":0},\"name\",\"网银控件\"]}\n"
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":0},\"type\",\"1\"]}\n"
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":0},\"keyid\",\"0x096E0713\"]}\n"
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":0},\"flag\",\"2\"]}\n"
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":1},\"name\",\"second\"]}\n"
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":1},\"type\",\"\"]}\n"
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":1},\"keyid\",\"\"]}\n"
      "{\"page\":\"setItemInfo\",\"args\":[{\"kind\":\"VT_UI4\",\"value\":1},\"flag\",\"\"]}\n"
      "{\"page\":\"isAnyKeyConnect\",\"args\":[]}\n"
      "{\"result\":null,\"kind\":\"VT_EMPTY\"}\n"
      "{\"result\":\"https://bank.example/帮助\",\"kind\":\"VT_BSTR\"}\n"
      "{\"result\":\"\",\"kind\":\"VT_BSTR\"}\n";
  const std::string queries = "[\"get_config\"]\n[\"get_data\",\"help\"]\n[\"get_data\",\"nosuch\"]\n";

  const std::string first = shell.Run("[\"save_settings\",\"ConfigUrl\",\"" + server.Url("/config/assistant.xml") +
                                      "\"]\n" + queries);
  EXPECT_EQ(first, "{\"result\":null,\"kind\":\"VT_EMPTY\"}\n" + expected);
  EXPECT_EQ(server.Requests().size(), 1u);

  server.Stop();
  EXPECT_EQ(shell.Run(queries), expected);
}

TEST(ConfigThroughShell, FailedLoadShowsTheMessageAndQuits) {
  TempDir machine;
  ShellSession shell(machine.Path() / "image");
  const std::string output =
      shell.Run("[\"save_settings\",\"ConfigUrl\",\"C:\\\\nowhere\\\\config.xml\"]\n[\"get_config\"]\n");
  EXPECT_NE(output.find("\"content\":\"获取配置失败，请检查您的网络。\""), std::string::npos) << output;
  EXPECT_NE(output.find("{\"quit\":true}"), std::string::npos) << output;
}

}  // namespace
