// Machine images: what each profile puts into the registry and the drive tree, and how images are
// created, kept and replaced.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/machine/machine_image.h"
#include "platform/pe/pe.h"
#include "platform/registry/registry.h"
#include "support/temp_dir.h"
#include "support/temp_machine.h"

namespace Kestrilon::Platform {
namespace {

namespace fs = std::filesystem;

std::u16string String(RegistryRoot root, std::u16string_view path, std::u16string_view name, uint32_t view = 0) {
  RegistryKey key;
  std::u16string text;
  if (RegistryKey::Open(root, path, KEY_READ | view, key) != ERROR_SUCCESS || key.GetString(name, text) != ERROR_SUCCESS)
    return u"<missing>";
  return text;
}

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

struct ProfileCase {
  const char* name;
  bool native64;
  bool wow64;
  const char16_t* productName;
  const char16_t* csdVersion;  // <missing> when Windows keeps none
  const char16_t* currentVersion;
  const char16_t* ieValue;     // svcVersion when the browser has one, else Version
  const char* kernelVersion;
  const char* cacheFolder;     // below C:\, {user} standing for the image's user
  const char* assistantFolder;
};

class MachineProfileTest : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(MachineProfileTest, ImageStandsForItsWindows) {
  const ProfileCase& c = GetParam();
  Testing::TempMachine machine(c.name);
  const MachineImage& image = MachineImage::Current();
  EXPECT_EQ(image.Profile().name, c.name);
  EXPECT_EQ(image.Profile().native64, c.native64);
  EXPECT_EQ(image.Profile().wow64Process, c.wow64);
  const std::u16string user = image.UserName();

  const std::u16string nt = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  for (uint32_t view : {0u, static_cast<uint32_t>(KEY_WOW64_64KEY)}) {
    EXPECT_EQ(String(HKEY_LOCAL_MACHINE, nt, u"ProductName", view), c.productName);
    EXPECT_EQ(String(HKEY_LOCAL_MACHINE, nt, u"CSDVersion", view), c.csdVersion);
    EXPECT_EQ(String(HKEY_LOCAL_MACHINE, nt, u"CurrentVersion", view), c.currentVersion);
    EXPECT_EQ(String(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Internet Explorer",
                     c.native64 ? u"svcVersion" : u"Version", view),
              c.ieValue);
  }
  RegistryKey key;
  uint32_t major = 0;
  ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, nt, KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(key.GetDword(u"CurrentMajorVersionNumber", major), c.native64 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(String(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", u"ProductType"), u"WinNT");

  // Drives and folders.
  fs::path c_drive = image.DriveRoot('C');
  ASSERT_FALSE(c_drive.empty());
  EXPECT_EQ(fs::canonical(c_drive), fs::canonical(machine.DriveC()));
  EXPECT_TRUE(image.DriveRoot('d').empty());
  EXPECT_EQ(fs::is_directory(machine.DriveC("Windows/SysWOW64")), c.native64);
  EXPECT_EQ(fs::is_directory(machine.DriveC("Program Files (x86)")), c.native64);
  std::string cacheFolder = c.cacheFolder;
  cacheFolder.replace(cacheFolder.find("{user}"), 6, Narrow(user));
  EXPECT_TRUE(fs::is_directory(machine.DriveC(cacheFolder))) << cacheFolder;
  std::u16string cache = String(HKEY_CURRENT_USER, u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", u"Cache");
  std::string expectedCache = "C:\\" + cacheFolder;
  for (char& ch : expectedCache)
    if (ch == '/') ch = '\\';
  EXPECT_EQ(Narrow(cache), expectedCache);

  fs::path system = machine.DriveC(c.name == std::string("winxp-x86") ? "WINDOWS/system32" : "Windows/System32");
  EXPECT_EQ(fs::read_symlink(system / "drivers/etc/hosts"), "/etc/hosts");
  FixedFileInfo info;
  ASSERT_TRUE(ReadFixedFileInfo(system / "kernel32.dll", &info));
  EXPECT_EQ(FileVersionText(info), c.kernelVersion);
  if (c.native64) {
    ASSERT_TRUE(ReadFixedFileInfo(machine.DriveC("Windows/SysWOW64/kernel32.dll"), &info));
    EXPECT_EQ(FileVersionText(info), c.kernelVersion);
  }

  // The assistant's folder is the folder this program runs from.
  fs::path assistant = machine.DriveC(c.assistantFolder);
  EXPECT_EQ(fs::canonical(assistant), fs::canonical(fs::read_symlink("/proc/self/exe").parent_path()));

  std::u16string ie = String(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\IEXPLORE.EXE", u"");
  EXPECT_EQ(ie, c.native64 ? u"C:\\Program Files (x86)\\Internet Explorer\\IEXPLORE.EXE"
                           : u"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE");
  EXPECT_EQ(access(machine.DriveC("Program Files/Internet Explorer/iexplore.exe").c_str(), X_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, MachineProfileTest,
    ::testing::Values(
        ProfileCase{"win10-x64", true, true, u"Windows 10 Pro", u"<missing>", u"6.3", u"11.0.19041.1", "10.0.19045.1",
                    "Users/{user}/AppData/Local/Microsoft/Windows/INetCache", "Program Files (x86)/Kestrilon/Assistant"},
        ProfileCase{"win7-x86", false, false, u"Windows 7 Professional", u"Service Pack 1", u"6.1", u"8.0.7601.17514",
                    "6.1.7601.17514", "Users/{user}/AppData/Local/Microsoft/Windows/Temporary Internet Files",
                    "Program Files/Kestrilon/Assistant"},
        ProfileCase{"winxp-x86", false, false, u"Microsoft Windows XP", u"Service Pack 3", u"5.1", u"8.0.6001.18702",
                    "5.1.2600.5512", "Documents and Settings/{user}/Local Settings/Temporary Internet Files",
                    "Program Files/Kestrilon/Assistant"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (ch == '-') ch = '_';
      return name;
    });

TEST(MachineImageTest, CreateKeepsReplacesAndRefuses) {
  Testing::TempDir dir;
  fs::path root = dir / "image";
  std::string error;
  ASSERT_TRUE(MachineImage::Create(root, "win7-x86", false, &error)) << error;
  Testing::WriteFileText(root / "drive_c/marker", "x");

  EXPECT_FALSE(MachineImage::Create(root, "win10-x64", false, &error));
  EXPECT_NE(error.find("already"), std::string::npos) << error;
  EXPECT_TRUE(fs::exists(root / "drive_c/marker"));

  ASSERT_TRUE(MachineImage::Create(root, "win10-x64", true, &error)) << error;
  EXPECT_FALSE(fs::exists(root / "drive_c/marker"));
  MachineImage::UseDirectory(root);
  EXPECT_EQ(MachineImage::Current().Profile().name, "win10-x64");

  // A folder that is not an image is never removed, even when forced.
  fs::path other = dir / "documents";
  Testing::WriteFileText(other / "letter.txt", "keep me");
  EXPECT_FALSE(MachineImage::Create(other, "win7-x86", true, &error));
  EXPECT_EQ(Testing::ReadFileText(other / "letter.txt"), "keep me");

  EXPECT_FALSE(MachineImage::Create(dir / "x", "win95", false, &error));
  EXPECT_NE(error.find("win10-x64"), std::string::npos);  // the known profiles are named
  EXPECT_EQ(MachineImage::ProfileNames(), (std::vector<std::string>{"win10-x64", "win7-x86", "winxp-x86"}));
}

TEST(MachineImageTest, FirstOpenCreatesTheDefaultImageOnce) {
  Testing::TempDir dir;
  fs::path root = dir / "fresh";
  // Two processes open the same missing image at once; both end up with the one image.
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      MachineImage::UseDirectory(root);
      RegistryKey key;
      bool ok = RegistryKey::Create(HKEY_CURRENT_USER, u"Software\\Opened", KEY_ALL_ACCESS, key) == ERROR_SUCCESS &&
                key.SetDword(i == 0 ? u"first" : u"second", 1) == ERROR_SUCCESS;
      _exit(ok && MachineImage::Current().Profile().name == "win10-x64" ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  MachineImage::UseDirectory(root);
  RegistryKey key;
  uint32_t value = 0;
  ASSERT_EQ(RegistryKey::Open(HKEY_CURRENT_USER, u"Software\\Opened", KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(key.GetDword(u"first", value), ERROR_SUCCESS);
  EXPECT_EQ(key.GetDword(u"second", value), ERROR_SUCCESS);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1u);  // no half-made image is left beside it
}

TEST(MachineImageTest, LauncherOpensTheWholeAddressInTheUsersBrowser) {
  Testing::TempMachine machine("win7-x86");
  Testing::TempDir dir;
  fs::path recorder = dir / "browser";
  Testing::WriteFileText(recorder, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.args\"\n");
  fs::permissions(recorder, fs::perms::owner_all);
  std::string launcher = machine.DriveC("Program Files/Internet Explorer/iexplore.exe").string();
  std::string command = "BROWSER='/nonexistent/browser:" + recorder.string() + "' '" + launcher +
                        "' -nohome https://bank.example/a b?c=1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Testing::ReadFileText(recorder.string() + ".args"), "https://bank.example/a b?c=1|");
}

}  // namespace
}  // namespace Kestrilon::Platform
