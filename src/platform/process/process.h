#pragma once
// Processes: Windows command lines, starting programs, waiting for them.
//
// Command lines follow CommandLineToArgvW's rules; the program of a command line is found through the
// machine image's paths the way CreateProcessW finds it. A started program gets the process
// environment, no inherited descriptors beyond standard input, output and error, and is reaped, so no
// zombie is left whether or not the caller waits.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrilon::Platform {

// CommandLineToArgvW. The first argument ends at the next quote (when it starts with one) or at the
// first space or tab, with no escapes; the others follow the backslash and quote rules. An empty command
// line gives the running program's own path, as Windows does.
std::vector<std::u16string> CommandLineToArgv(std::u16string_view commandLine);
// One argument (not the first) quoted so that CommandLineToArgv gives it back unchanged.
std::u16string QuoteArgument(std::u16string_view argument);
// A command line from arguments; the first is the program, quoted when it holds a space or is empty.
std::u16string BuildCommandLine(const std::vector<std::u16string>& arguments);

// The program a command line names and the arguments that follow it. A quoted program ends at its
// closing quote; an unquoted one containing spaces is tried at each space from the left, as
// CreateProcessW does ("C:\Program Files\X\setup.exe /S"). A bare name is searched in the running
// program's folder, the current folder, System32, the Windows folder and the host's PATH; ".exe" is
// tried after the name as given. Nullopt when no existing file is found.
struct ResolvedCommand {
  std::filesystem::path program;     // host path of an existing file
  std::vector<std::string> argv;     // argv[0] is the program's host path; the rest as split, in UTF-8
};
std::optional<ResolvedCommand> ResolveCommandLine(std::u16string_view commandLine);

// The user a program runs as when started "as the signed-in user".
struct SessionUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;
  std::string shell;
};
// Running as root on behalf of a user (SUDO_UID, PKEXEC_UID), or as root with a graphical session
// owned by a user (the owner of the X display's socket, of the Wayland socket, or of
// $XDG_RUNTIME_DIR): that user. Not running as root: the process's own user, when a desktop session is
// there (DISPLAY or WAYLAND_DISPLAY). Otherwise nullopt: no desktop shell to take the user from.
std::optional<SessionUser> FindSignedInUser();

struct StartOptions {
  // Run as this user (its groups, HOME, USER, LOGNAME, XDG_RUNTIME_DIR, the session bus) instead of the
  // process's own identity.
  std::optional<SessionUser> runAs;
  // The child and every process it starts are waited for by WaitForExit (for uninstallers that hand
  // over to a copy of themselves).
  bool trackDescendants = false;
};

// A started program. Not waited for, it is left to run on its own when the object goes (it never
// becomes a zombie of this process).
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a host path) with the arguments; false with *error (an errno value) when the
  // program could not be started at all.
  static bool Start(const std::vector<std::string>& argv, const StartOptions& options, ChildProcess* child,
                    int* error = nullptr);

  bool IsStarted() const { return pid_ > 0; }
  pid_t Id() const { return programPid_; }
  // Waits for the end (of the program, or of the program and all its descendants when tracked) and
  // gives its exit code: the status it exited with, or 128 + the signal that ended it.
  int WaitForExit();
  // The exit code when it has ended already, else nullopt.
  std::optional<int> ExitCodeIfEnded();

 private:
  void Release();
  pid_t pid_ = -1;         // the direct child: the program, or its supervisor when descendants are tracked
  pid_t programPid_ = -1;  // the program itself
  std::optional<int> exitCode_;
};

// Exit code of a wait status, as WaitForExit reports it.
int ExitCodeFromStatus(int status);

}  // namespace Kestrilon::Platform
