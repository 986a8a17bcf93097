#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/process/process.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace Kestrilon::Platform {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFileText;
using Testing::TempDir;

std::vector<std::string> Shell(const std::string& script) { return {"/bin/sh", "-c", script}; }

int RunToEnd(const std::vector<std::string>& argv, StartOptions options = {}) {
  ChildProcess child;
  int error = 0;
  if (!ChildProcess::Start(argv, options, &child, &error)) return -1000 - error;
  return child.WaitForExit();
}

// Whether pid names a process that has not been reaped (a zombie counts as present).
bool ProcessPresent(pid_t pid) { return fs::exists("/proc/" + std::to_string(pid)); }

TEST(ChildProcessTest, ExitCodesAndStartFailures) {
  EXPECT_EQ(RunToEnd(Shell("exit 0")), 0);
  EXPECT_EQ(RunToEnd(Shell("exit 7")), 7);
  EXPECT_EQ(RunToEnd(Shell("kill -9 $$")), 128 + 9);
  EXPECT_EQ(RunToEnd({"/no/such/program"}), -1000 - ENOENT);
  TempDir dir;
  Testing::WriteFileText(dir / "data", "not a program");
  fs::permissions(dir / "data", fs::perms::owner_read | fs::perms::owner_write);
  Testing::WriteFileText(dir / "garbage", "\x7f\x01 neither a script nor an executable");
  fs::permissions(dir / "garbage", fs::perms::owner_all);
  EXPECT_EQ(RunToEnd({(dir / "data").string()}), -1000 - EACCES);
  EXPECT_EQ(RunToEnd({(dir / "garbage").string()}), -1000 - ENOEXEC);
  EXPECT_EQ(RunToEnd({}), -1000 - EINVAL);
}

TEST(ChildProcessTest, PassesArgumentsAndEnvironmentButNoDescriptors) {
  TempDir dir;
  ::setenv("AppPath", "/opt/kestrilon/bin", 1);
  const int leaked = ::open("/etc/hostname", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  const auto out = dir / "out";
  EXPECT_EQ(RunToEnd(Shell("printf '%s|%s' \"$AppPath\" \"$(test -e /proc/self/fd/" + std::to_string(leaked) +
                      " && echo open || echo closed)\" > '" + out.string() + "'")),
            0);
  EXPECT_EQ(RunToEnd({"/bin/sh", "-c", "printf '%s|%s' \"$0\" \"$1\" > '" + (dir / "args").string() + "'",
                 "two words", "\"quoted\" \\"}),
            0);
  ::close(leaked);
  ::unsetenv("AppPath");
  EXPECT_EQ(ReadFileText(out), "/opt/kestrilon/bin|closed");
  EXPECT_EQ(ReadFileText(dir / "args"), "two words|\"quoted\" \\");
}

TEST(ChildProcessTest, NotWaitedForItLeavesNoZombie) {
  pid_t pid = -1;
  {
    ChildProcess child;
    ASSERT_TRUE(ChildProcess::Start(Shell("sleep 0.2"), {}, &child));
    pid = child.Id();
    EXPECT_FALSE(child.ExitCodeIfEnded());
  }
  for (int i = 0; i < 100 && ProcessPresent(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(ProcessPresent(pid));
}

TEST(ChildProcessTest, TreeWaitLastsUntilEveryDescendantHasEnded) {
  TempDir dir;
  const auto marker = dir / "grandchild-done";
  // The program hands over to a background child and exits at once with 3.
  const std::string script = "(sleep 0.3; touch '" + marker.string() + "') & exit 3";
  StartOptions tracked;
  tracked.trackDescendants = true;
  ChildProcess child;
  ASSERT_TRUE(ChildProcess::Start(Shell(script), tracked, &child));
  EXPECT_EQ(child.WaitForExit(), 3);
  EXPECT_TRUE(fs::exists(marker));

  fs::remove(marker);
  EXPECT_EQ(RunToEnd(Shell(script)), 3);
  EXPECT_FALSE(fs::exists(marker));  // a plain wait returns while the grandchild still sleeps
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let it finish inside the folder
  EXPECT_EQ(RunToEnd({"/no/such/program"}, tracked), -1000 - ENOENT);
}

using Kestrilon::Testing::ScopedEnvironment;

TEST(SignedInUserTest, NoDesktopSessionMeansNoUser) {
  ScopedEnvironment none({{"SUDO_UID", nullptr}, {"PKEXEC_UID", nullptr}, {"DISPLAY", nullptr},
                          {"WAYLAND_DISPLAY", nullptr}, {"XDG_RUNTIME_DIR", nullptr}});
  EXPECT_FALSE(FindSignedInUser());
}

TEST(SignedInUserTest, RootActingForAUserStartsTheChildAsThatUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string uid = std::to_string(nobody->pw_uid);
  ScopedEnvironment sudo({{"SUDO_UID", uid.c_str()}, {"SUDO_USER", "nobody"}, {"HOME", "/root"}});
  auto user = FindSignedInUser();
  ASSERT_TRUE(user);
  EXPECT_EQ(user->uid, nobody->pw_uid);
  EXPECT_EQ(user->name, "nobody");

  TempDir dir;
  fs::permissions(dir.Path(), fs::perms::all);  // the unprivileged child writes its answer here
  const auto out = dir / "identity";
  StartOptions options;
  options.runAs = user;
  EXPECT_EQ(RunToEnd(Shell("echo \"$(id -u) $(id -g) $HOME $USER ${SUDO_UID:-none}\" > '" + out.string() + "'"), options), 0);
  EXPECT_EQ(ReadFileText(out), uid + " " + std::to_string(nobody->pw_gid) + " " + nobody->pw_dir +
                                   " nobody none\n");
  // The drop happens in the child only.
  EXPECT_EQ(::geteuid(), 0u);
}

TEST(SignedInUserTest, RootInsideADesktopSessionTakesTheSessionOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the session folder to another user";
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  TempDir dir;
  const auto runtime = dir / "run-user";
  fs::create_directory(runtime);
  ASSERT_EQ(::chown(runtime.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ScopedEnvironment session({{"SUDO_UID", nullptr}, {"PKEXEC_UID", nullptr}, {"DISPLAY", nullptr},
                             {"WAYLAND_DISPLAY", nullptr}, {"XDG_RUNTIME_DIR", runtime.c_str()}});
  auto user = FindSignedInUser();
  ASSERT_TRUE(user);
  EXPECT_EQ(user->uid, nobody->pw_uid);
}

}  // namespace
}  // namespace Kestrilon::Platform
