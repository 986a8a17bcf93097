#include <gtest/gtest.h>

#include <thread>

#include "image_fixture.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {
namespace {

namespace fs = std::filesystem;

class PathResolution : public Testing::ImageTest {};

TEST_F(PathResolution, DrivePathsMatchExistingComponentsWithoutRegardToCase) {
  UseProfile("win7-x86");
  const fs::path kernel = DriveC() / "Windows" / "System32" / "kernel32.dll";
  ASSERT_TRUE(fs::exists(kernel));
  for (const char16_t* path : {u"C:\\Windows\\System32\\kernel32.dll", u"c:\\WINDOWS\\system32\\KERNEL32.DLL",
                               u"C:/Windows/System32/kernel32.dll", u"C:\\Windows\\\\System32\\.\\kernel32.dll",
                               u"\\\\?\\C:\\Windows\\System32\\kernel32.dll", u"\\Windows\\System32\\kernel32.dll",
                               u"C:\\Windows\\Temp\\..\\System32\\kernel32.dll"})
    EXPECT_EQ(ToHostPath(path), kernel) << ToUtf8(path);
}

TEST_F(PathResolution, MissingTailKeepsTheCaseGivenAndDotDotStopsAtTheRoot) {
  UseProfile("win7-x86");
  EXPECT_EQ(ToHostPath(u"C:\\WINDOWS\\NewFolder\\Sub\\File.TXT"), DriveC() / "Windows" / "NewFolder" / "Sub" / "File.TXT");
  EXPECT_EQ(ToHostPath(u"C:\\..\\..\\etc\\passwd"), DriveC() / "etc" / "passwd");
  EXPECT_EQ(ToHostPath(u"C:\\"), DriveC());
  EXPECT_EQ(ToHostPath(u"C:"), DriveC());
}

TEST_F(PathResolution, LinuxPathsPassUnknownDrivesAndUncGiveNothing) {
  UseProfile("win7-x86");
  EXPECT_EQ(ToHostPath(u"/etc/hosts"), fs::path("/etc/hosts"));
  EXPECT_EQ(ToHostPath(u"/no/such/Thing"), fs::path("/no/such/Thing"));
  EXPECT_TRUE(ToHostPath(u"Q:\\data\\x.txt").empty());
  EXPECT_TRUE(ToHostPath(u"\\\\server\\share\\x").empty());
  EXPECT_TRUE(ToHostPath(u"\\\\?\\UNC\\server\\share\\x").empty());
  EXPECT_EQ(ToHostPath(u"Download\\setup.exe"), fs::path("Download/setup.exe"));
  // A path ends at its first null, as the Windows API sees it.
  EXPECT_EQ(ToHostPath(std::u16string(u"C:\\Windows\0\\..\\secret", 21)), DriveC() / "Windows");
}

TEST_F(PathResolution, WindowsPathsOfHostPaths) {
  UseProfile("win7-x86");
  EXPECT_EQ(ToWindowsPath(ToHostPath(u"c:\\program files\\Internet Explorer")),
            u"C:\\Program Files\\Internet Explorer");
  EXPECT_EQ(ToWindowsPath(DriveC() / "Brand New" / "x.txt"), u"C:\\Brand New\\x.txt");
  EXPECT_EQ(ToWindowsPath(fs::path("/etc/hosts")), u"/etc/hosts");
}

TEST_F(PathResolution, Wow64ProcessSeesSysWow64UnlessItsThreadSwitchesRedirectionOff) {
  UseProfile("win10-x64");
  ASSERT_TRUE(IsWow64Process());
  const fs::path redirected = DriveC() / "Windows" / "SysWOW64" / "kernel32.dll";
  const fs::path native = DriveC() / "Windows" / "System32" / "kernel32.dll";
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\System32\\kernel32.dll"), redirected);
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\Sysnative\\kernel32.dll"), native);
  // Folders Windows leaves alone.
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\System32\\drivers\\etc\\hosts"),
            DriveC() / "Windows" / "System32" / "drivers" / "etc" / "hosts");

  void* old = nullptr;
  ASSERT_TRUE(Wow64DisableFsRedirection(&old));
  EXPECT_TRUE(IsFsRedirectionDisabled());
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\System32\\kernel32.dll"), native);
  // Another thread keeps its own state.
  fs::path seenElsewhere;
  std::thread([&] { seenElsewhere = ToHostPath(u"C:\\Windows\\System32\\kernel32.dll"); }).join();
  EXPECT_EQ(seenElsewhere, redirected);

  // Nested: a second disable keeps "disabled" as the state to return to.
  void* inner = nullptr;
  ASSERT_TRUE(Wow64DisableFsRedirection(&inner));
  ASSERT_TRUE(Wow64RevertFsRedirection(inner));
  EXPECT_TRUE(IsFsRedirectionDisabled());
  ASSERT_TRUE(Wow64RevertFsRedirection(old));
  EXPECT_FALSE(IsFsRedirectionDisabled());
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\System32\\kernel32.dll"), redirected);
  EXPECT_FALSE(Wow64RevertFsRedirection(nullptr));
}

TEST_F(PathResolution, NoRedirectionWithoutWow64) {
  UseProfile("win7-x86");
  EXPECT_FALSE(IsWow64Process());
  void* old = nullptr;
  EXPECT_FALSE(Wow64DisableFsRedirection(&old));
  EXPECT_FALSE(IsFsRedirectionDisabled());
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\System32"), DriveC() / "Windows" / "System32");
  // 32-bit Windows has no Sysnative alias either.
  EXPECT_EQ(ToHostPath(u"C:\\Windows\\Sysnative"), DriveC() / "Windows" / "Sysnative");
}

TEST(ModuleFileNameTest, IsTheRunningProgram) {
  const fs::path self = ModuleFileName();
  EXPECT_TRUE(self.is_absolute());
  EXPECT_EQ(self.filename(), "platform_fs_tests");
}

}  // namespace
}  // namespace Kestrilon::Platform
