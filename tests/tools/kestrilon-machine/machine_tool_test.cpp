// kestrilon-machine as people and scripts run it: init, and reg with reg.exe's syntax and output.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/temp_dir.h"

namespace Kestrilon::Testing {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

class MachineToolTest : public ::testing::Test {
 protected:
  TempDir dir_;
  fs::path image_ = dir_ / "image";

  static std::string Tool() {
    const char* binary = std::getenv("KESTRILON_BINARY_DIR");
    return (fs::path(binary ? binary : ".") / "bin" / "kestrilon-machine").string();
  }

  // Runs the tool on the test's image; `args` is shell text.
  ToolRun Machine(const std::string& args, const std::string& input = "") {
    std::string command = "cd '" + dir_.Path().string() + "' && " + (input.empty() ? "" : "printf '" + input + "' | ") +
                          "'" + Tool() + "' --machine '" + image_.string() + "' " + args + " > out.txt 2> err.txt";
    ToolRun run;
    int status = std::system(command.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFileText(dir_ / "out.txt");
    run.err = ReadFileText(dir_ / "err.txt");
    return run;
  }

  void Init(const std::string& profile) { ASSERT_EQ(Machine("init --profile " + profile).status, 0); }
};

TEST_F(MachineToolTest, InitCreatesKeepsAndReplaces) {
  ToolRun run = Machine("init --profile winxp-x86");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(ReadFileText(image_ / "profile.json").find("\"winxp-x86\""), std::string::npos);

  run = Machine("init --profile win7-x86");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;

  EXPECT_EQ(Machine("init --profile win7-x86 --force").status, 0);
  EXPECT_NE(ReadFileText(image_ / "profile.json").find("\"win7-x86\""), std::string::npos);
  EXPECT_EQ(Machine("init --profile nt4 --force").status, 1);
  EXPECT_EQ(Machine("frobnicate").status, 1);
}

TEST_F(MachineToolTest, QueryShowsEachKindAsRegExeDoes) {
  Init("win7-x86");
  struct Case {
    const char* add;       // the arguments of reg add after the key
    const char* expected;  // the value line of reg query
  };
  const Case cases[] = {
      {"/v Text /d 'a b'", "    Text    REG_SZ    a b"},
      {"/v Empty /d ''", "    Empty    REG_SZ    "},
      {"/v Path /t REG_EXPAND_SZ /d '%TEMP%\\x'", "    Path    REG_EXPAND_SZ    %TEMP%\\x"},
      {"/v List /t REG_MULTI_SZ /d 'one\\0two'", "    List    REG_MULTI_SZ    one\\0two"},
      {"/v Sep /t REG_MULTI_SZ /s , /d 'x,y'", "    Sep    REG_MULTI_SZ    x\\0y"},
      {"/v Count /t REG_DWORD /d 255", "    Count    REG_DWORD    0xff"},
      {"/v Hex /t REG_DWORD /d 0x10", "    Hex    REG_DWORD    0x10"},
      {"/v Big /t REG_QWORD /d 0x100000000", "    Big    REG_QWORD    0x100000000"},
      {"/v Blob /t REG_BINARY /d 00ff1A", "    Blob    REG_BINARY    00FF1A"},
      {"/ve /d standard", "    (Default)    REG_SZ    standard"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.add);
    ToolRun run = Machine(std::string("reg add 'HKCU\\Software\\Kinds' ") + c.add + " /f");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "The operation completed successfully.\n");
    std::string name = std::string(c.add).substr(0, 3) == "/ve" ? "/ve" : "/v " + std::string(c.add).substr(3, std::string(c.add).find(' ', 3) - 3);
    run = Machine("reg query 'HKCU\\Software\\Kinds' " + name);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "\nHKEY_CURRENT_USER\\Software\\Kinds\n" + std::string(c.expected) + "\n\n");
  }
  EXPECT_EQ(Machine("reg add HKCU\\Software\\Kinds /v Bad /t REG_DWORD /d 12x /f").status, 1);
  EXPECT_EQ(Machine("reg add HKCU\\Software\\Kinds /v Bad /t REG_DWORD /d 0x100000000 /f").status, 1);
  EXPECT_EQ(Machine("reg add HKCU\\Software\\Kinds /v Bad /t REG_BINARY /d abc /f").status, 1);
}

TEST_F(MachineToolTest, QueryListsValuesThenSubKeysAndWalksWithS) {
  Init("win7-x86");
  ASSERT_EQ(Machine("reg add 'HKLM\\SOFTWARE\\Bank' /v Version /d 1.0 /f").status, 0);
  ASSERT_EQ(Machine("reg add 'HKLM\\SOFTWARE\\Bank\\Beta' /v On /t REG_DWORD /d 1 /f").status, 0);
  ASSERT_EQ(Machine("reg add 'HKLM\\SOFTWARE\\Bank\\alpha'").status, 0);

  ToolRun run = Machine("reg query 'hklm\\software\\bank'");
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "\nHKEY_LOCAL_MACHINE\\software\\bank\n    Version    REG_SZ    1.0\n\n"
            "HKEY_LOCAL_MACHINE\\software\\bank\\alpha\nHKEY_LOCAL_MACHINE\\software\\bank\\Beta\n");

  run = Machine("reg query 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Bank' /s");
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Bank\n    Version    REG_SZ    1.0\n\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Bank\\alpha\n\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Bank\\Beta\n    On    REG_DWORD    0x1\n\n");

  run = Machine("reg query 'HKLM\\SOFTWARE\\Bank' /v On /s");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Bank\\Beta\n    On    REG_DWORD    0x1\n\nEnd of search: 1 match(es) found.\n");

  run = Machine("reg query 'HKLM\\SOFTWARE\\Bank' /ve");
  EXPECT_EQ(run.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Bank\n    (Default)    REG_SZ    (value not set)\n\n");

  run = Machine("reg query 'HKLM\\SOFTWARE\\Bank' /v Missing");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "ERROR: The system was unable to find the specified registry key or value.\n");
  EXPECT_EQ(Machine("reg query 'HKLM\\SOFTWARE\\NoBank'").status, 1);
  EXPECT_EQ(Machine("reg query 'HKXX\\SOFTWARE'").status, 1);
}

TEST_F(MachineToolTest, ViewsFollowRegColon32And64) {
  Init("win10-x64");
  ASSERT_EQ(Machine("reg add 'HKLM\\SOFTWARE\\Bank' /v Bits /d 32 /reg:32 /f").status, 0);
  ToolRun run = Machine("reg query 'HKLM\\SOFTWARE\\Bank' /reg:32");
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Bank\n    Bits    REG_SZ    32\n\n");
  EXPECT_EQ(Machine("reg query 'HKLM\\SOFTWARE\\Bank'").status, 1);  // the tool's own view is 64-bit
  EXPECT_EQ(Machine("reg query 'HKLM\\SOFTWARE\\Wow6432Node\\Bank' /v Bits").status, 0);
  run = Machine("reg query 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' /v CurrentMajorVersionNumber");
  EXPECT_NE(run.out.find("REG_DWORD    0xa"), std::string::npos) << run.out;
}

TEST_F(MachineToolTest, DeleteValuesAndKeys) {
  Init("win7-x86");
  ASSERT_EQ(Machine("reg add 'HKCU\\Software\\Bank' /v A /d 1 /f").status, 0);
  ASSERT_EQ(Machine("reg add 'HKCU\\Software\\Bank' /v B /d 2 /f").status, 0);
  ASSERT_EQ(Machine("reg add 'HKCU\\Software\\Bank\\Sub\\Deep' /ve /d x /f").status, 0);

  EXPECT_EQ(Machine("reg delete 'HKCU\\Software\\Bank' /v A", "no\\n").status, 1);  // answered no
  EXPECT_EQ(Machine("reg query 'HKCU\\Software\\Bank' /v A").status, 0);
  EXPECT_EQ(Machine("reg delete 'HKCU\\Software\\Bank' /v A", "yes\\n").status, 0);
  EXPECT_EQ(Machine("reg query 'HKCU\\Software\\Bank' /v A").status, 1);
  EXPECT_EQ(Machine("reg delete 'HKCU\\Software\\Bank' /v A /f").status, 1);  // already gone

  EXPECT_EQ(Machine("reg delete 'HKCU\\Software\\Bank' /va /f").status, 0);
  EXPECT_EQ(Machine("reg query 'HKCU\\Software\\Bank' /v B").status, 1);
  EXPECT_EQ(Machine("reg query 'HKCU\\Software\\Bank\\Sub\\Deep' /ve").status, 0);

  EXPECT_EQ(Machine("reg delete 'HKCU\\Software\\Bank' /f").status, 0);  // with everything below it
  EXPECT_EQ(Machine("reg query 'HKCU\\Software\\Bank\\Sub'").status, 1);
  EXPECT_EQ(Machine("reg delete HKCU /f").status, 1);
}

TEST_F(MachineToolTest, ExportImportRoundTrip) {
  Init("win10-x64");
  ASSERT_EQ(Machine("reg add 'HKCU\\Software\\Bank' /v Name /d 'say \"hi\"' /f").status, 0);
  ASSERT_EQ(Machine("reg add 'HKCU\\Software\\Bank\\Sub' /v List /t REG_MULTI_SZ /d 'a\\0b' /f").status, 0);
  ASSERT_EQ(Machine("reg export 'HKCU\\Software\\Bank' first.reg").status, 0);
  std::string first = ReadFileText(dir_ / "first.reg");
  ASSERT_GT(first.size(), 2u);
  EXPECT_EQ(first.substr(0, 2), "\xFF\xFE");  // UTF-16LE with byte-order mark

  EXPECT_EQ(Machine("reg export 'HKCU\\Software\\Bank' first.reg", "n\\n").status, 1);  // not overwritten
  ASSERT_EQ(Machine("reg delete 'HKCU\\Software\\Bank' /f").status, 0);
  ToolRun run = Machine("reg import first.reg");
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(Machine("reg export 'HKCU\\Software\\Bank' second.reg /y").status, 0);
  EXPECT_EQ(ReadFileText(dir_ / "second.reg"), first);

  ASSERT_EQ(Machine("reg export 'HKCU\\Software\\Bank' old.reg /regedit4").status, 0);
  EXPECT_EQ(ReadFileText(dir_ / "old.reg").substr(0, 10), "REGEDIT4\r\n");

  WriteFileText(dir_ / "broken.reg", "not a registry file\n");
  EXPECT_EQ(Machine("reg import broken.reg").status, 1);
  EXPECT_EQ(Machine("reg import missing.reg").status, 1);
}

TEST_F(MachineToolTest, SeveralToolProcessesAtOnceLoseNothing) {
  Init("win7-x86");
  std::string script = "for w in 1 2 3 4; do (for i in $(seq 1 20); do '" + Tool() + "' --machine '" + image_.string() +
                       "' reg add 'HKCU\\Software\\Busy' /v w${w}_$i /t REG_DWORD /d $i /f >/dev/null || echo fail; done) & done; wait";
  ASSERT_EQ(std::system(("cd '" + dir_.Path().string() + "' && (" + script + ") > busy.txt 2>&1").c_str()), 0);
  EXPECT_EQ(ReadFileText(dir_ / "busy.txt"), "");
  ToolRun run = Machine("reg query 'HKCU\\Software\\Busy'");
  size_t lines = 0;
  for (size_t pos = 0; (pos = run.out.find("REG_DWORD", pos)) != std::string::npos; ++pos) ++lines;
  EXPECT_EQ(lines, 80u);
}

TEST_F(MachineToolTest, BadSyntaxIsRefused) {
  Init("win7-x86");
  for (const char* args : {"reg", "reg frob", "reg query", "reg query HKCU /v", "reg query HKCU /v a /ve",
                           "reg add 'HKCU\\X' /d 1", "reg delete", "reg export HKCU", "reg import", "reg query HKCU -zz"}) {
    SCOPED_TRACE(args);
    ToolRun run = Machine(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: Invalid syntax."), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace Kestrilon::Testing
