// The program's start-up and lifetime, on the real program built with the test page: one copy at a
// time, quit and restart, the exit steps and the tray companion's command line.
//
// Each test copies the program into a folder of its own beside a stand-in companion "SysTray" (a
// shell script that writes down its command line): the companion is a separate program, and what this
// program owes it is the command line it starts it with. The real companion is tested on its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/commands.h"
#include "support/temp_dir.h"
#include "ui/window/desktop.h"

namespace Kestrilon::Testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Desktop : public ::testing::Environment {
 public:
  void SetUp() override {
    root_ = std::make_unique<TempDir>("kestrilon-app");
    const auto runtime = root_->Path() / "runtime";
    fs::create_directories(runtime);
    chmod(runtime.c_str(), 0700);
    setenv("HOME", root_->Path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KESTRILON_MACHINE", (root_->Path() / "machine").c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    ASSERT_TRUE(xvfb_.Start());
    ASSERT_TRUE(driver_.Start());
  }
  void TearDown() override {
    driver_.Stop();
    xvfb_.Stop();
    root_.reset();
  }
  static WebDriver& Driver() { return driver_; }
  static fs::path LockFile() {
    return fs::path(std::getenv("XDG_RUNTIME_DIR")) / "D83F8931-F65A-4E06-84E9-2F685A35BDD7";
  }

 private:
  static inline WebDriver driver_;
  Xvfb xvfb_;
  std::unique_ptr<TempDir> root_;
};

const auto* const g_desktop = ::testing::AddGlobalTestEnvironment(new Desktop);

// Whether some process holds the single-instance lock.
bool LockHeld() {
  int fd = open(Desktop::LockFile().c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  return held;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::make_unique<TempDir>("kestrilon-program");
    program_ = (folder_->Path() / "kestrilon-assistant").string();
    fs::copy_file(fs::path(std::getenv("KESTRILON_BINARY_DIR")) / "tests" / "assistant-testpage" / "kestrilon-assistant",
                  program_);
    WriteFileText(folder_->Path() / "SysTray",
                  "#!/bin/sh\nprintf '%s' \"$AppPath\" > \"$(dirname \"$0\")/apppath.txt\"\n"
                  "printf '%s\\n' \"$0\" \"$@\" > \"$(dirname \"$0\")/companion.txt\"\n");
    fs::permissions(folder_->Path() / "SysTray", fs::perms::owner_all);
    App::WriteProfileInt(App::kSettingsSection, u"CloseToTray", 0);
  }
  void TearDown() override {
    KillProcesses(ProcessesOf(program_));
    EXPECT_TRUE(WaitFor([] { return !LockHeld(); }, std::chrono::seconds(5)));
  }
  std::string Companion() { return ReadFileText(folder_->Path() / "companion.txt"); }
  std::string ExpectedCompanion() {
    return (folder_->Path() / "SysTray").string() + "\nkestrilon-assistant\n103\n102\n199\n0\n";
  }
  // Starts the program with a start-up word and waits until it holds the lock.
  bool StartProgram(ChildProcess& process, const std::string& word = {}) {
    std::vector<std::string> argv{program_};
    if (!word.empty()) argv.push_back(word);
    return process.Start(argv, -1, (folder_->Path() / "stderr.txt").string());
  }

  std::unique_ptr<TempDir> folder_;
  std::string program_;
};

TEST_F(ProgramTest, SecondCopyEndsAtOnceAndLeavesTheFirstAlone) {
  ChildProcess first;
  ASSERT_TRUE(StartProgram(first));
  ASSERT_TRUE(WaitFor(LockHeld, std::chrono::seconds(10)));
  ChildProcess second;
  ASSERT_TRUE(StartProgram(second));
  auto status = second.Wait(std::chrono::seconds(5));
  ASSERT_TRUE(status.has_value()) << "the second copy is still running";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_TRUE(IsAlive(first.Pid()));
  EXPECT_TRUE(LockHeld());
}

TEST_F(ProgramTest, QuitFromTheWorkerEndsTheProgramAndStartsTheCompanion) {
  // "quit" sent with asyncallc runs on the worker thread; it is carried to the main loop.
  ChildProcess program;
  ASSERT_TRUE(StartProgram(program, "async-quit"));
  auto status = program.Wait(std::chrono::seconds(15));
  ASSERT_TRUE(status.has_value()) << ReadFileText(folder_->Path() / "stderr.txt");
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_TRUE(WaitFor([&] { return !Companion().empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(Companion(), ExpectedCompanion());
  // The program's folder is in the environment of the processes it starts.
  EXPECT_EQ(ReadFileText(folder_->Path() / "apppath.txt"), folder_->Path().string());
}

TEST_F(ProgramTest, CloseToTraySuppressesTheCompanion) {
  App::WriteProfileInt(App::kSettingsSection, u"CloseToTray", 1);
  ChildProcess program;
  ASSERT_TRUE(StartProgram(program, "quit"));
  ASSERT_TRUE(program.Wait(std::chrono::seconds(15)).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Companion(), "");
}

TEST_F(ProgramTest, RestartStartsANewCopyAndNoCompanion) {
  ChildProcess program;
  ASSERT_TRUE(StartProgram(program, "restart"));
  const pid_t old = program.Pid();
  ASSERT_TRUE(program.Wait(std::chrono::seconds(15)).has_value());
  // The new copy was not refused: it runs and holds the lock.
  ASSERT_TRUE(WaitFor(
      [&] {
        auto pids = ProcessesOf(program_);
        return pids.size() == 1 && pids[0] != old && LockHeld();
      },
      std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ProcessesOf(program_).size(), 1u);
  EXPECT_EQ(Companion(), "");
}

TEST_F(ProgramTest, QuitElementRunsTheExitStepsAndTheOptionIsOurs) {
  // Started by WebDriver with "--automation help": the page sees only "help".
  std::string error;
  std::string id = Desktop::Driver().NewSession(program_, {"--automation", "help"}, &error);
  ASSERT_FALSE(id.empty()) << error;
  WebDriverSession page(Desktop::Driver(), id);
  ASSERT_TRUE(WaitFor([&] { return page.Execute("return window.pageLoaded === true") == true; },
                      std::chrono::seconds(10)));
  EXPECT_EQ(page.Execute("return window.startupWord"), "help");
  page.Click("#ui_quit");
  EXPECT_TRUE(WaitFor([&] { return ProcessesOf(program_).empty(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(WaitFor([&] { return !Companion().empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(Companion(), ExpectedCompanion());
}

TEST_F(ProgramTest, WithoutADisplayItSaysSoAndFails) {
  const std::string display = std::getenv("DISPLAY");
  unsetenv("DISPLAY");
  ChildProcess program;
  ASSERT_TRUE(StartProgram(program));
  auto status = program.Wait(std::chrono::seconds(10));
  setenv("DISPLAY", display.c_str(), 1);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_NE(WEXITSTATUS(*status), 0);
  EXPECT_NE(ReadFileText(folder_->Path() / "stderr.txt").find("display"), std::string::npos);
  EXPECT_FALSE(LockHeld());
}

}  // namespace
}  // namespace Kestrilon::Testing
