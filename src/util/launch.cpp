// Starting processes, also as the signed-in user, and opening addresses in the browser.
#include <unistd.h>

#include <system_error>

#include "platform/fs/fs.h"
#include "platform/machine/machine_image.h"
#include "platform/process/process.h"
#include "platform/registry/registry.h"
#include "util/file_helpers.h"

namespace Kestrilon::Util {
namespace {

namespace fs = std::filesystem;
using namespace Platform;

bool IsExistingFile(std::u16string_view path) {
  if (path.empty()) return false;
  const fs::path host = ToHostPath(path);
  std::error_code error;
  return !host.empty() && fs::exists(host, error) && !fs::is_directory(host, error);
}

int Launch(std::u16string_view commandLine, bool wait, bool asSignedInUser, bool waitForTree) {
  commandLine = commandLine.substr(0, commandLine.find(u'\0'));  // as the Windows buffer ends there
  // The program's buffer holds 519 characters; a longer command line is refused, not cut.
  if (commandLine.empty() || commandLine.size() >= kMaxCommandLineChars) return -1;
  StartOptions options;
  options.trackDescendants = waitForTree;
  // Windows XP has no desktop-shell token route: the process starts with the program's own rights.
  if (asSignedInUser && MachineImage::Current().Profile().majorVersion >= 6) {
    std::optional<SessionUser> user = FindSignedInUser();
    if (!user) return -1;  // no desktop session to take the user from; never a plain start instead
    if (user->uid != ::geteuid()) options.runAs = std::move(user);
  }
  std::optional<ResolvedCommand> command = ResolveCommandLine(commandLine);
  if (!command) return -1;
  ChildProcess child;
  if (!ChildProcess::Start(command->argv, options, &child)) return -1;
  if (wait) return child.WaitForExit();
  return child.ExitCodeIfEnded().value_or(0);  // still running counts as 0
}

}  // namespace

int LaunchProcess(std::u16string_view commandLine, bool wait, bool asSignedInUser) {
  return Launch(commandLine, wait, asSignedInUser, /*waitForTree=*/false);
}

int LaunchProcessAndWaitForTree(std::u16string_view commandLine) {
  return Launch(commandLine, /*wait=*/true, /*asSignedInUser=*/false, /*waitForTree=*/true);
}

std::u16string InternetExplorerPath() {
  std::u16string fromAppPaths;
  RegistryKey key;
  if (RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\IEXPLORE.EXE",
                        KEY_READ | KEY_WRITE, key) == ERROR_SUCCESS) {
    std::u16string value;
    // Room for 260 characters: a longer value counts as not read.
    if (key.GetString(u"", value) == ERROR_SUCCESS && value.size() < kMaxPathChars) fromAppPaths = value;
  }
  if (IsExistingFile(fromAppPaths)) return fromAppPaths;
  const std::u16string programFiles = ExpandEnvironmentPath(u"%ProgramFiles%\\Internet Explorer\\iexplore.exe");
  if (IsExistingFile(programFiles)) return programFiles;
  return fromAppPaths;
}

HRESULT OpenInInternetExplorer(std::u16string_view url) {
  const std::u16string path = InternetExplorerPath();
  if (path.empty()) return HResultFromWin32(ERROR_FILE_NOT_FOUND);
  std::u16string commandLine = u"\"" + path + u"\" ";
  commandLine += url;  // unquoted, as the browser takes the rest of its command line as the address
  return LaunchProcess(commandLine, /*wait=*/false, /*asSignedInUser=*/true) == 0 ? S_OK : E_FAIL;
}

}  // namespace Kestrilon::Util
