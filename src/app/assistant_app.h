#pragma once
// The application object: the program's life from start to exit (start-up, single instance, the
// message loop, quit, restart, the tray companion at exit).
//
// This folder includes nothing of GTK: the window host (ui/) hands start-up an IWindowHost.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/status.h"
#include "ui/host/host.h"

namespace Kestrilon::App {

// The name of the single-instance lock (a lock file under $XDG_RUNTIME_DIR, else /tmp).
inline constexpr const char* kSingleInstanceName = "D83F8931-F65A-4E06-84E9-2F685A35BDD7";
// String and picture resources start-up uses.
inline constexpr uint32_t kCompanionTextId = 103;
inline constexpr uint32_t kIconId = 199;
inline constexpr uint32_t kPageResourceId = 200;

// What start-up needs of the window host.
class IWindowHost {
 public:
  virtual ~IWindowHost() = default;
  // The program's dialog: no caption, the icon and page resources given, OnScriptCommand as its command
  // callback; null when it cannot be created.
  virtual UI::IBSDialog* CreateDialog(const std::u16string& title, uint32_t iconId, uint32_t pageResourceId) = 0;
  virtual void DestroyDialog(UI::IBSDialog* dialog) = 0;
  virtual void ShowWindow(UI::WindowHandle window, int32_t showCommand) = 0;  // SW_SHOW 5, SW_MINIMIZE 6
  // The main loop: returns when the quit message arrives or `running` is false.
  virtual void RunMessageLoop(const std::atomic<bool>& running) = 0;
  virtual void PostQuitMessage() = 0;
  virtual bool OnMainThread() = 0;
  virtual void PostToMainThread(std::function<void()> task) = 0;
};

class CAssistantApp {
 public:
  static CAssistantApp& Instance();

  // Start-up, the message loop and the exit steps, in order. The exit code of the process: 0, also for a
  // second copy that ends at once; 1 when start-up failed.
  int InitInstance(IWindowHost& host);
  void RunMessageLoop();
  // Both act on the main thread; called on another thread they are carried there.
  void QuitApplication();
  void RestartApplication();
  // Shows the dialog's window (SW_ numbers) through the window host; nothing without one.
  void ShowWindow(UI::WindowHandle window, int32_t showCommand);
  bool RestartPending() const { return restartPending_; }
  void SetRestartPending() { restartPending_ = true; }

  // The tray companion's command line for a program file: "<folder>/SysTray" quoted, the program's file
  // name, 103 102 199 0.
  static std::u16string CompanionCommandLine(const std::u16string& programPath);

 private:
  CAssistantApp() = default;
  std::atomic<IWindowHost*> host_{nullptr};
  std::atomic<bool> running_{true};
  std::atomic<bool> restartPending_{false};
};

// Command 23 mini_size: minimises the dialog's window. Empty result.
void MiniSizeCommand(UI::IBSDialog* host);

}  // namespace Kestrilon::App
