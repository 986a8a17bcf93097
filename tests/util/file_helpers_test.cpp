#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs/fs.h"
#include "platform/process/process.h"
#include "platform/registry/registry.h"
#include "util/file_helpers.h"
#include "util/file_helpers_internal.h"
#include "util_fixture.h"

namespace Kestrilon::Util {
namespace {

namespace fs = std::filesystem;
using namespace Platform;
using Testing::ReadFileText;
using Testing::WriteFileText;

size_t EntriesIn(const fs::path& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class FileHelpers : public Testing::HelperTest {};

TEST_F(FileHelpers, ReadsWholeFilesThroughWindowsAndLinuxPaths) {
  const std::string bytes("MZ\0\x01\xff binary\r\n", 14);
  ASSERT_EQ(WriteWholeFile(u"C:\\ProgramData\\Bank\\cache.bin", bytes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            HResultFromWin32(ERROR_PATH_NOT_FOUND));  // the folder does not exist
  fs::create_directories(DriveC() / "ProgramData" / "Bank");
  ASSERT_EQ(WriteWholeFile(u"C:\\ProgramData\\Bank\\cache.bin", bytes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            S_OK);
  std::string read = "stale";
  EXPECT_EQ(ReadWholeFile(u"c:\\programdata\\BANK\\Cache.BIN", read), S_OK);
  EXPECT_EQ(read, bytes);
  EXPECT_EQ(ReadWholeFile(W(DriveC() / "ProgramData" / "Bank" / "cache.bin"), read, FILE_ATTRIBUTE_NORMAL), S_OK);
  EXPECT_EQ(read, bytes);

  // Replacing with shorter content leaves nothing of the old, and no temporary file behind.
  ASSERT_EQ(WriteWholeFile(u"C:\\ProgramData\\Bank\\cache.bin", "short"), S_OK);
  EXPECT_EQ(ReadFileText(DriveC() / "ProgramData" / "Bank" / "cache.bin"), "short");
  EXPECT_EQ(EntriesIn(DriveC() / "ProgramData" / "Bank"), 1u);

  WriteFileText(temp_ / "empty", "");
  EXPECT_EQ(ReadWholeFile(W(temp_ / "empty"), read), S_OK);
  EXPECT_TRUE(read.empty());
}

TEST_F(FileHelpers, ReadErrorsLeaveNoCopyBehind) {
  std::string read;
  EXPECT_EQ(ReadWholeFile(W(temp_ / "missing.xml"), read), HResultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(fs::exists(temp_ / "missing.xml.copy"));
  EXPECT_EQ(ReadWholeFile(W(temp_.Path()), read), HResultFromWin32(ERROR_ACCESS_DENIED));  // a folder
  EXPECT_EQ(ReadWholeFile(u"Q:\\nowhere.xml", read), HResultFromWin32(ERROR_PATH_NOT_FOUND));

  if (::geteuid() != 0) {  // root reads anything, so only an unprivileged run can be refused
    WriteFileText(temp_ / "locked.xml", "secret");
    fs::permissions(temp_ / "locked.xml", fs::perms::none);
    EXPECT_EQ(ReadWholeFile(W(temp_ / "locked.xml"), read), HResultFromWin32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(fs::exists(temp_ / "locked.xml.copy"));
  }
}

// Linux has no open that refuses readers while a copy succeeds (Windows' share modes), so the refusal
// comes from a scripted opener; the copy, its reading and its removal are real.
TEST_F(FileHelpers, FileThatCannotBeOpenedIsReadFromACopy) {
  const fs::path config = temp_ / "config.xml";
  WriteFileText(config, "<bank/>");
  std::vector<fs::path> opened;
  auto refuseOriginal = [&](const fs::path& path) {
    opened.push_back(path);
    if (path == config) {
      errno = EBUSY;
      return -1;
    }
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  };
  std::string read;
  EXPECT_EQ(ReadWholeFileUsing(refuseOriginal, config, read), S_OK);
  EXPECT_EQ(read, "<bank/>");
  EXPECT_EQ(opened, (std::vector<fs::path>{config, fs::path(config.string() + ".copy")}));
  EXPECT_FALSE(fs::exists(config.string() + ".copy"));

  // The copy cannot be opened either: its error, and the copy is gone again.
  auto refuseAll = [&](const fs::path& path) {
    errno = path.extension() == ".copy" ? EACCES : EBUSY;
    return -1;
  };
  EXPECT_EQ(ReadWholeFileUsing(refuseAll, config, read), HResultFromWin32(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(fs::exists(config.string() + ".copy"));
  // Nothing to copy: the first error.
  EXPECT_EQ(ReadWholeFileUsing(refuseAll, temp_ / "gone.xml", read), HResultFromWin32(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(EntriesIn(temp_.Path()), 2u);  // the image and config.xml
}

TEST_F(FileHelpers, WritingThroughALinkKeepsTheLink) {
  WriteFileText(temp_ / "real-hosts", "127.0.0.1 localhost\n");
  fs::create_symlink(temp_ / "real-hosts", temp_ / "hosts");
  ASSERT_EQ(WriteWholeFile(W(temp_ / "hosts"), "127.0.0.1 bank.example\n"), S_OK);
  EXPECT_TRUE(fs::is_symlink(temp_ / "hosts"));
  EXPECT_EQ(ReadFileText(temp_ / "real-hosts"), "127.0.0.1 bank.example\n");
}

TEST_F(FileHelpers, MoveIntoPlaceReplacesAndNeverLosesTheTarget) {
  const fs::path target = temp_ / "assistant.exe";
  const fs::path download = temp_ / "assistant.exe.download";
  WriteFileText(target, "old");
  EXPECT_EQ(MoveIntoPlace(W(download), W(target)), E_FAIL);
  EXPECT_EQ(ReadFileText(target), "old");

  WriteFileText(download, "new");
  EXPECT_EQ(MoveIntoPlace(W(download), W(target)), S_OK);
  EXPECT_EQ(ReadFileText(target), "new");
  EXPECT_FALSE(fs::exists(download));

  // Into a folder that does not exist: an error, and the source stays.
  WriteFileText(download, "newer");
  EXPECT_EQ(MoveIntoPlace(W(download), W(temp_ / "no" / "x.exe")), HResultFromWin32(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(fs::exists(download));
}

TEST_F(FileHelpers, MoveIntoPlaceOntoARunningProgram) {
  const fs::path program = temp_ / "SysTray.exe";
  fs::copy_file("/bin/sleep", program);
  ChildProcess running;
  ASSERT_TRUE(ChildProcess::Start({program.string(), "30"}, {}, &running));
  fs::copy_file("/bin/true", temp_ / "SysTray.exe.download");

  EXPECT_EQ(MoveIntoPlace(W(temp_ / "SysTray.exe.download"), W(program)), S_OK);
  EXPECT_FALSE(fs::exists(temp_ / "SysTray.exe.old"));
  EXPECT_FALSE(running.ExitCodeIfEnded());  // the old program runs on from its own copy
  ChildProcess replaced;
  ASSERT_TRUE(ChildProcess::Start({program.string()}, {}, &replaced));
  EXPECT_EQ(replaced.WaitForExit(), 0);  // /bin/true now
  ::kill(running.Id(), SIGKILL);
  EXPECT_EQ(running.WaitForExit(), 128 + SIGKILL);
}

TEST_F(FileHelpers, TargetsThatCannotBeReplacedDirectly) {
  // A folder cannot be replaced by a file in one rename: it is moved aside to ".old" first, and the
  // ".old" is removed at the next start.
  const fs::path target = temp_ / "plugin";
  fs::create_directory(target);
  WriteFileText(temp_ / "plugin.download", "file");
  EXPECT_EQ(MoveIntoPlace(W(temp_ / "plugin.download"), W(target)), S_OK);
  EXPECT_EQ(ReadFileText(target), "file");
  EXPECT_TRUE(fs::is_directory(temp_ / "plugin.old"));
  EXPECT_EQ(ApplyPendingFileRenames(), 1);
  EXPECT_FALSE(fs::exists(temp_ / "plugin.old"));
  EXPECT_EQ(ApplyPendingFileRenames(), 0);  // carried out once

  // Neither replaceable nor movable aside (its ".old" is a folder in use): recorded for the next start,
  // and the target stays as it is until then.
  const fs::path busy = temp_ / "busy";
  fs::create_directories(busy);
  fs::create_directories(temp_ / "busy.old" / "still-here");
  WriteFileText(temp_ / "busy.download", "replacement");
  EXPECT_EQ(MoveIntoPlace(W(temp_ / "busy.download"), W(busy)), S_FALSE);
  EXPECT_TRUE(fs::is_directory(busy));
  EXPECT_TRUE(fs::exists(temp_ / "busy.download"));
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", KEY_READ,
                              key),
            ERROR_SUCCESS);
  std::vector<std::u16string> pending;
  ASSERT_EQ(key.GetMultiString(u"PendingFileRenameOperations", pending), ERROR_SUCCESS);
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0], u"\\??\\" + W(temp_ / "busy.download"));
  EXPECT_EQ(pending[1], u"!\\??\\" + W(busy));
  // By the next start the folder has gone; the recorded move completes.
  fs::remove(busy);
  EXPECT_EQ(ApplyPendingFileRenames(), 1);
  EXPECT_EQ(ReadFileText(busy), "replacement");
}

TEST_F(FileHelpers, MoveIntoPlaceAcrossFileSystems) {
  struct stat shm {}, tmp {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(temp_.Path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
    GTEST_SKIP() << "needs /dev/shm on another file system than the temporary folder";
  Testing::TempDir other("/dev/shm/kestrilon-move");
  WriteFileText(other / "new.bin", "across");
  WriteFileText(temp_ / "target.bin", "old");
  EXPECT_EQ(MoveIntoPlace(W(other / "new.bin"), W(temp_ / "target.bin")), S_OK);
  EXPECT_EQ(ReadFileText(temp_ / "target.bin"), "across");
  EXPECT_FALSE(fs::exists(other / "new.bin"));
}

TEST_F(FileHelpers, ExpansionThatDoesNotFitIsRefused) {
  EXPECT_EQ(ExpandEnvironmentPath(u""), u"");
  EXPECT_EQ(ExpandEnvironmentPath(u"%windir%\\system32\\drivers\\etc\\hosts"),
            u"C:\\Windows\\system32\\drivers\\etc\\hosts");
  const std::u16string fits = u"%windir%\\" + std::u16string(259 - 11, u'a');  // 259 characters expanded
  std::u16string expanded;
  EXPECT_EQ(ExpandEnvironmentPath(fits, expanded), S_OK);
  EXPECT_EQ(expanded.size(), 259u);
  EXPECT_EQ(ExpandEnvironmentPath(fits + u"a", expanded), HResultFromWin32(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(expanded.empty());
  EXPECT_EQ(ExpandEnvironmentPath(fits + u"a"), u"");
}

TEST_F(FileHelpers, DownloadTargetsBesideTheProgram) {
  const fs::path folder = ModuleFileName().parent_path() / "Download";
  fs::remove_all(folder);
  const std::u16string base = ToWindowsPath(folder) + u"/";
  EXPECT_EQ(DownloadTargetPath(u"https://bank.example/tools/setup.exe?v=2&lang=zh"), base + u"setup.exe?v=2&lang=zh");
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(DownloadTargetPath(u"setup.exe"), base + u"setup.exe");
  // A name that would leave the folder is not used.
  EXPECT_EQ(DownloadTargetPath(u"https://bank.example/..\\..\\evil.exe"), ToWindowsPath(folder));
  EXPECT_EQ(DownloadTargetPath(u"https://bank.example/.."), ToWindowsPath(folder));
  std::u16string path = u"stale";
  EXPECT_EQ(DownloadTargetPath(u"https://bank.example/" + std::u16string(300, u'x'), path),
            HResultFromWin32(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(path.empty());
  fs::remove_all(folder);
}

TEST_F(FileHelpers, RedirectionPairAndFileVersions) {
  FixedFileInfo info;
  EXPECT_FALSE(DisableWow64Redirection());  // 32-bit Windows 7
  EXPECT_FALSE(RevertWow64Redirection());
  ASSERT_TRUE(ReadFileVersion(ExpandEnvironmentPath(u"%windir%\\System32\\kernel32.dll"), &info));
  EXPECT_EQ(info.dwFileVersionMS, (6u << 16) | 1u);
  EXPECT_TRUE(ReadFileVersion(u"C:\\Windows\\System32\\KERNEL32.dll", nullptr));
  EXPECT_FALSE(ReadFileVersion(u"C:\\Windows\\System32\\missing.dll", &info));
  EXPECT_FALSE(ReadFileVersion(u"C:\\Program Files\\Internet Explorer\\iexplore.exe", &info));  // a script

  UseProfile("win10-x64");
  // The 32-bit process sees SysWOW64 until the pair switches redirection off for the thread.
  Testing::WriteFileText(DriveC() / "Windows" / "System32" / "only-native.dll", "x");
  const std::u16string nativeOnly = u"C:\\Windows\\System32\\only-native.dll";
  EXPECT_TRUE(ToHostPath(nativeOnly).string().find("SysWOW64") != std::string::npos);
  ASSERT_TRUE(DisableWow64Redirection());
  EXPECT_EQ(ToHostPath(nativeOnly), DriveC() / "Windows" / "System32" / "only-native.dll");
  EXPECT_TRUE(ReadFileVersion(u"C:\\Windows\\System32\\kernel32.dll", &info));
  EXPECT_EQ(info.dwFileVersionMS, 10u << 16);
  ASSERT_TRUE(RevertWow64Redirection());
  EXPECT_FALSE(IsFsRedirectionDisabled());
}

}  // namespace
}  // namespace Kestrilon::Util
