#include <gtest/gtest.h>

#include <random>

#include "../fs/image_fixture.h"
#include "platform/fs/fs.h"
#include "platform/process/process.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {
namespace {

namespace fs = std::filesystem;

std::string Join(const std::vector<std::u16string>& argv) {
  std::string out;
  for (const auto& a : argv) out += "[" + ToUtf8(a) + "]";
  return out;
}

TEST(CommandLineSplit, DocumentedExamplesAndTheProgramRule) {
  struct Case {
    const char16_t* line;
    std::vector<std::u16string> argv;
  } cases[] = {
      // The examples Windows documents for its argument rules.
      {uR"(p "abc" d e)", {u"p", u"abc", u"d", u"e"}},
      {uR"(p a\\b d"e f"g h)", {u"p", uR"(a\\b)", u"de fg", u"h"}},
      {uR"(p a\\\"b c d)", {u"p", uR"(a\"b)", u"c", u"d"}},
      {uR"(p a\\\\"b c" d e)", {u"p", uR"(a\\b c)", u"d", u"e"}},
      {uR"(p a"b"" c d)", {u"p", uR"(ab")", u"c", u"d"}},
      {uR"(p "ab\"c" "\\" d)", {u"p", uR"(ab"c)", uR"(\)", u"d"}},
      // Runs of quotes: three make one literal quote.
      {uR"(p """a""" b)", {u"p", uR"("a")", u"b"}},
      {uR"(p a""b)", {u"p", u"ab"}},
      {uR"(p "" x)", {u"p", u"", u"x"}},
      {uR"(p "unterminated arg)", {u"p", u"unterminated arg"}},
      {u"p\ta \t b  ", {u"p", u"a", u"b"}},
      {uR"(p C:\dir\ x)", {u"p", uR"(C:\dir\)", u"x"}},
      // The program: up to the closing quote or the first blank, backslashes and quotes taken as they are.
      {uR"("C:\Program Files\X\setup.exe" /S)", {uR"(C:\Program Files\X\setup.exe)", u"/S"}},
      {uR"(C:\a\"b c)", {uR"(C:\a\"b)", u"c"}},
      {uR"("a"b c)", {u"a", u"b", u"c"}},
      {uR"("C:\x\)", {uR"(C:\x\)"}},
      {u"prog", {u"prog"}},
      {u" lead", {u"", u"lead"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Join(CommandLineToArgv(c.line)), Join(c.argv)) << ToUtf8(c.line);
}

TEST(CommandLineSplit, QuotingRoundTripsAnyArgument) {
  std::mt19937 random(20261211);
  const char16_t alphabet[] = {u'a', u' ', u'\t', u'\\', u'"', u'x', u'\u4e2d'};
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::u16string> argv = {u"C:\\Program Files\\p.exe"};
    const int count = static_cast<int>(random() % 4);
    for (int i = 0; i < count; ++i) {
      std::u16string argument;
      const int length = static_cast<int>(random() % 9);
      for (int k = 0; k < length; ++k) argument += alphabet[random() % std::size(alphabet)];
      argv.push_back(argument);
    }
    const std::u16string line = BuildCommandLine(argv);
    ASSERT_EQ(Join(CommandLineToArgv(line)), Join(argv)) << ToUtf8(line);
  }
  EXPECT_EQ(QuoteArgument(u"plain"), u"plain");
  EXPECT_EQ(QuoteArgument(u""), u"\"\"");
  EXPECT_EQ(QuoteArgument(uR"(C:\dir with space\)"), uR"("C:\dir with space\\")");
  EXPECT_EQ(BuildCommandLine({u"C:\\Program Files\\Internet Explorer\\iexplore.exe", u"%1"}),
            u"\"C:\\Program Files\\Internet Explorer\\iexplore.exe\" %1");
}

TEST(CommandLineSplit, EmptyLineGivesTheRunningProgram) {
  Testing::TempDir dir;
  MachineImage::UseDirectory(dir / "image");
  const auto argv = CommandLineToArgv(u"");
  ASSERT_EQ(argv.size(), 1u);
  EXPECT_EQ(ToHostPath(argv[0]), ModuleFileName());
}

class ProgramSearch : public Testing::ImageTest {};

TEST_F(ProgramSearch, FindsProgramsThroughTheImageAndThePath) {
  UseProfile("win10-x64");
  const fs::path tools = DriveC() / "Program Files (x86)" / "Bank Tools";
  fs::create_directories(tools);
  Testing::WriteFileText(tools / "Setup.exe", "#!/bin/sh\n");
  Testing::WriteFileText(DriveC() / "Windows" / "SysWOW64" / "helper.exe", "#!/bin/sh\n");

  // Quoted, unquoted with spaces (tried at each blank), any case, ".exe" added.
  for (const char16_t* line : {uR"("C:\Program Files (x86)\Bank Tools\Setup.exe" /S "a b")",
                               uR"(c:\program files (x86)\bank tools\setup.exe /S "a b")",
                               uR"(C:\Program Files (x86)\Bank Tools\setup /S "a b")"}) {
    auto command = ResolveCommandLine(line);
    ASSERT_TRUE(command) << ToUtf8(line);
    EXPECT_EQ(command->program, tools / "Setup.exe");
    EXPECT_EQ(command->argv, (std::vector<std::string>{(tools / "Setup.exe").string(), "/S", "a b"}));
  }
  // A bare name: System32 (redirected for the 32-bit process), then the host's PATH.
  auto helper = ResolveCommandLine(u"helper -q");
  ASSERT_TRUE(helper);
  EXPECT_EQ(helper->program, DriveC() / "Windows" / "SysWOW64" / "helper.exe");
  auto sh = ResolveCommandLine(u"sh -c \"exit 0\"");
  ASSERT_TRUE(sh);
  EXPECT_EQ(sh->program.filename(), "sh");
  EXPECT_EQ(sh->argv.back(), "exit 0");

  EXPECT_FALSE(ResolveCommandLine(u"C:\\Program Files (x86)\\Bank Tools\\missing.exe"));
  EXPECT_FALSE(ResolveCommandLine(u"kestrilon-no-such-program"));
  EXPECT_FALSE(ResolveCommandLine(u"C:\\Program Files (x86)\\Bank Tools"));  // a folder is no program
  EXPECT_FALSE(ResolveCommandLine(u"   "));
}

}  // namespace
}  // namespace Kestrilon::Platform
