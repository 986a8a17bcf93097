#include "app/assistant_app.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "app/commands.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"
#include "usbkey/usbkey.h"
#include "util/digest.h"
#include "util/file_helpers.h"

namespace Kestrilon::App {
namespace {

using Platform::HRESULT;

// The single-instance lock: a lock file held with flock, which the kernel releases when the process
// dies. Opened close-on-exec so that the companion and a restarted copy do not inherit it.
class Mutex {
 public:
  ~Mutex() { Close(); }
  HRESULT Create() {
    std::lock_guard lock(mutex_);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string path = runtime && *runtime ? std::string(runtime) + "/" + kSingleInstanceName
                                           // /tmp is shared by every user: the lock is per user, as the
                                           // session's named object is.
                                           : "/tmp/" + std::string(kSingleInstanceName) + "." + std::to_string(getuid());
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Platform::HResultFromWin32(errno == EACCES ? Platform::ERROR_ACCESS_DENIED : Platform::ERROR_INVALID_HANDLE);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      return Platform::HResultFromWin32(error == EWOULDBLOCK ? Platform::ERROR_ALREADY_EXISTS : Platform::ERROR_ACCESS_DENIED);
    }
    fd_ = fd;
    return Platform::S_OK;
  }
  void Close() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
    fd_ = -1;
  }

 private:
  std::mutex mutex_;
  int fd_ = -1;
};

Mutex& SingleInstance() {
  static Mutex mutex;
  return mutex;
}

std::u16string ProgramPath() { return Platform::ToUtf16(Platform::ModuleFileName().string()); }

}  // namespace

CAssistantApp& CAssistantApp::Instance() {
  static CAssistantApp app;
  return app;
}

std::u16string CAssistantApp::CompanionCommandLine(const std::u16string& programPath) {
  std::u16string line = programPath;
  const size_t slash = line.find_last_of(u"/\\");
  const size_t insertAt = slash == std::u16string::npos ? 0 : slash + 1;
  line.insert(insertAt, u"SysTray\" ");
  line.insert(0, u"\"");
  line += u" " + Platform::ToUtf16(std::to_string(kCompanionTextId) + " " + std::to_string(UI::IDS_APP_TITLE) + " " +
                                   std::to_string(kIconId) + " 0");
  return line;
}

int CAssistantApp::InitInstance(IWindowHost& host) {
  host_ = &host;
  // Common controls, control hosting and the shell manager have no counterpart here; the settings key
  // is named by the settings store itself.

  // The folder of the program file, without a trailing separator.
  const std::filesystem::path program = Platform::ModuleFileName();
  ::setenv("AppPath", program.parent_path().string().c_str(), 1);

  // A second copy ends here, silently, and leaves the running one alone.
  if (Platform::Failed(SingleInstance().Create())) return 0;
  // File replacements that had to wait for the program's next start (its own files after an update).
  Util::ApplyPendingFileRenames();
  if (Platform::Failed(Util::RegisterCryptoAlgorithms())) {
    SingleInstance().Close();
    return 1;
  }

  SetLifetimeHooks({[this] { QuitApplication(); },
                    [this] {
                      RestartApplication();
                      SetRestartPending();
                    }});
  UsbKey::InstallUsbDeviceWatcher();

  UI::IBSDialog* dialog = host.CreateDialog(UI::LoadStringResource(UI::IDS_APP_TITLE), kIconId, kPageResourceId);
  if (dialog) {
    UI::SetApplicationDialog(dialog);
    host.ShowWindow(dialog->GetWindowHandle(), 5);
    RunMessageLoop();
    UI::SetApplicationDialog(nullptr);
    host.DestroyDialog(dialog);
  }
  SetLifetimeHooks({});

  if (GetProfileInt(kSettingsSection, u"CloseToTray", 0) == 0 && !restartPending_) {
    Util::LaunchProcess(CompanionCommandLine(ProgramPath()), false, false);  // a failure is ignored
  }
  Util::ReleaseCryptoAlgorithms();
  SingleInstance().Close();
  host_ = nullptr;
  return 0;
}

void CAssistantApp::RunMessageLoop() {
  if (IWindowHost* host = host_) host->RunMessageLoop(running_);
}

void CAssistantApp::QuitApplication() {
  IWindowHost* host = host_;
  if (!host) return;
  if (!host->OnMainThread()) {
    // The loop runs on the main thread: a quit asked elsewhere (get_config on the worker) is carried there.
    host->PostToMainThread([this] { QuitApplication(); });
    return;
  }
  SingleInstance().Close();
  host->PostQuitMessage();
  running_ = false;
}

void CAssistantApp::RestartApplication() {
  IWindowHost* host = host_;
  if (!host) return;
  if (!host->OnMainThread()) {
    host->PostToMainThread([this] { RestartApplication(); });
    return;
  }
  // The lock goes first, so that the new copy passes the single-instance check.
  SingleInstance().Close();
  Util::LaunchProcess(u"\"" + ProgramPath() + u"\"", false, false);
  host->PostQuitMessage();
  running_ = false;
}

void CAssistantApp::ShowWindow(UI::WindowHandle window, int32_t showCommand) {
  // Without a window host (kestrilon-shell) there is no window to show.
  if (IWindowHost* host = host_; host && window) host->ShowWindow(window, showCommand);
}

void MiniSizeCommand(UI::IBSDialog* host) {
  if (host) CAssistantApp::Instance().ShowWindow(host->GetWindowHandle(), 6);  // SW_MINIMIZE
}

}  // namespace Kestrilon::App
