#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "util/file_helpers.h"
#include "util_fixture.h"

namespace Kestrilon::Util {
namespace {

namespace fs = std::filesystem;
using namespace Platform;
using Testing::ReadFileText;
using Testing::WriteFileText;

bool WaitForFile(const fs::path& file) {
  for (int i = 0; i < 250; ++i) {
    if (fs::exists(file) && fs::file_size(file) > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void WriteScript(const fs::path& file, const std::string& body) {
  WriteFileText(file, "#!/bin/sh\n" + body + "\n");
  fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

class Launching : public Testing::HelperTest {
 protected:
  // A desktop session for the signed-in user to come from: this process's own user.
  void WithOwnSession() {
    if (::geteuid() == 0) {
      environment_.Set("SUDO_UID", "0");
    } else {
      environment_.Set("DISPLAY", ":99");
    }
  }
  void WithoutSession() {
    for (const char* name : {"SUDO_UID", "PKEXEC_UID", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"})
      environment_.Set(name, nullptr);
  }
  std::u16string Quoted(const fs::path& p) { return u"\"" + W(p) + u"\""; }
};

TEST_F(Launching, WaitsForExitCodesOrReturnsAtOnce) {
  EXPECT_EQ(LaunchProcess(u"/bin/sh -c \"exit 5\"", true, false), 5);
  EXPECT_EQ(LaunchProcess(u"sh -c \"exit 0\"", true, false), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LaunchProcess(u"sh -c \"sleep 2\"", false, false), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(LaunchProcess(u"C:\\Program Files\\Bank\\missing.exe /S", true, false), -1);
  EXPECT_EQ(LaunchProcess(u"", true, false), -1);
}

TEST_F(Launching, CommandLineThatDoesNotFitIsNotRun) {
  const fs::path marker = temp_ / "ran";
  const std::u16string command = u"sh -c \"echo x > '" + W(marker) + u"'\" ";
  const std::u16string fits = command + std::u16string(519 - command.size(), u'p');  // 519 characters
  EXPECT_EQ(LaunchProcess(fits, true, false), 0);
  EXPECT_TRUE(fs::exists(marker));
  fs::remove(marker);
  EXPECT_EQ(LaunchProcess(fits + u"p", true, false), -1);
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(Launching, TreeWaitOutlastsAHandOver) {
  const fs::path marker = temp_ / "uninstalled";
  EXPECT_EQ(LaunchProcessAndWaitForTree(u"sh -c \"(sleep 0.3; touch '" + W(marker) + u"') & exit 0\""), 0);
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_EQ(LaunchProcessAndWaitForTree(u"kestrilon-no-such-uninstaller.exe"), -1);
}

TEST_F(Launching, AsSignedInUserNeedsADesktopSessionExceptOnXp) {
  const fs::path marker = temp_ / "started";
  const std::u16string command = u"sh -c \"echo x > '" + W(marker) + u"'\"";
  WithoutSession();
  EXPECT_EQ(LaunchProcess(command, true, true), -1);
  EXPECT_FALSE(fs::exists(marker));  // never a plain start instead
  EXPECT_EQ(LaunchProcess(command, true, false), 0);
  fs::remove(marker);

  UseProfile("winxp-x86");  // no shell-token route on XP: the program's own rights
  EXPECT_EQ(LaunchProcess(command, true, true), 0);
  EXPECT_TRUE(fs::exists(marker));
}

TEST_F(Launching, RootStartsTheChildAsTheUserItActsFor) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string uid = std::to_string(nobody->pw_uid);
  environment_.Set("SUDO_UID", uid.c_str());
  fs::permissions(temp_.Path(), fs::perms::all);
  const fs::path out = temp_ / "uid";
  EXPECT_EQ(LaunchProcess(u"sh -c \"id -u > '" + W(out) + u"'\"", true, true), 0);
  EXPECT_EQ(ReadFileText(out), uid + "\n");
}

class Browser : public Launching {
 protected:
  const std::u16string appPaths = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\IEXPLORE.EXE";
  fs::path Launcher() { return DriveC() / "Program Files" / "Internet Explorer" / "iexplore.exe"; }
  void SetAppPath(const std::u16string& value) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(HKEY_LOCAL_MACHINE, appPaths, KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"", value), ERROR_SUCCESS);
  }
};

TEST_F(Browser, PathFromAppPathsThenProgramFilesThenWhatWasRead) {
  ASSERT_TRUE(fs::exists(Launcher()));
  EXPECT_EQ(InternetExplorerPath(), u"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE");
  SetAppPath(u"D:\\Old\\IEXPLORE.EXE");
  EXPECT_EQ(InternetExplorerPath(), u"C:\\Program Files\\Internet Explorer\\iexplore.exe");
  fs::remove(Launcher());
  EXPECT_EQ(InternetExplorerPath(), u"D:\\Old\\IEXPLORE.EXE");
  EXPECT_EQ(OpenInInternetExplorer(u"https://bank.example/"), E_FAIL);  // known but not there
  SetAppPath(u"C:\\" + std::u16string(300, u'x'));  // longer than the room for it: not read
  EXPECT_EQ(InternetExplorerPath(), u"");
  RegistryKey root;
  ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"", KEY_ALL_ACCESS, root), ERROR_SUCCESS);
  ASSERT_EQ(root.DeleteTree(appPaths), ERROR_SUCCESS);
  EXPECT_EQ(InternetExplorerPath(), u"");
  EXPECT_EQ(OpenInInternetExplorer(u"https://bank.example/"), HResultFromWin32(ERROR_FILE_NOT_FOUND));
}

TEST_F(Browser, OpensTheAddressUnquotedAfterTheQuotedProgram) {
  const fs::path received = temp_ / "arguments";
  fs::permissions(temp_.Path(), fs::perms::all);
  WriteScript(Launcher(), "printf '%s\\n' \"$@\" > '" + received.string() + "'");
  WithOwnSession();
  EXPECT_EQ(OpenInInternetExplorer(u"https://bank.example/a b?c=d e"), S_OK);
  ASSERT_TRUE(WaitForFile(received));
  EXPECT_EQ(ReadFileText(received), "https://bank.example/a\nb?c=d\ne\n");

  WithoutSession();
  EXPECT_EQ(OpenInInternetExplorer(u"https://bank.example/"), E_FAIL);
}

TEST_F(Browser, TheImagesLauncherHandsTheAddressToTheDesktopBrowser) {
  const fs::path received = temp_ / "browser-got";
  fs::permissions(temp_.Path(), fs::perms::all);
  WriteScript(temp_ / "browser", "printf '%s' \"$1\" > '" + received.string() + "'");
  environment_.Set("BROWSER", (temp_ / "browser").c_str());
  WithOwnSession();
  EXPECT_EQ(OpenInInternetExplorer(u"https://bank.example/login page"), S_OK);
  ASSERT_TRUE(WaitForFile(received));
  EXPECT_EQ(ReadFileText(received), "https://bank.example/login page");
}

}  // namespace
}  // namespace Kestrilon::Util
